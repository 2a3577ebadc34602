#pragma once

// What the transfer engine needs of its TWAIN connection besides the
// operations of CTwainIOBase: the state the connection is in, the source the
// transfer triplets go to, and whether the batch's first transfer is still to
// come (the engine re-reads its settings then). CTwainIODirect answers from
// the fields TwainCmd keeps; a test may answer with its own.

#include "twain/twain.h"

class CTwainXferLink
{
public:
    // The TWAIN state, 1 to 7.
    virtual TW_UINT16 TwainState() const = 0;
    // The identity to address the source with; lives as long as the connection.
    virtual pTW_IDENTITY TwainSource() = 0;
    // True from the entry into state 6 until the first transfer starts.
    virtual bool TwainFirstXfer() const = 0;

protected:
    // Never deleted through this interface.
    ~CTwainXferLink() = default;
};
