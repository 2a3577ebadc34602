#pragma once

// The library's own side of Image::mapping: the delivered file mapped
// read-only. Not part of the installed headers.

#include <QFileDevice>
#include <QString>

#include <memory>

#include "pelirand/image.h"

namespace pelirand {

class ImageFileMapping
{
public:
    // hHeld: what the system must keep open while the bytes are mapped (the
    // file's handle on Windows), closed with the mapping; null elsewhere.
    ImageFileMapping(const char* p, qint64 nSize, void* hHeld = nullptr) : m_p(p), m_nSize(nSize), m_hHeld(hHeld)
    {
    }
    ~ImageFileMapping();
    ImageFileMapping(const ImageFileMapping&) = delete;
    ImageFileMapping& operator=(const ImageFileMapping&) = delete;

    const char* data() const { return m_p; }
    qint64 size() const { return m_nSize; }
    // Lets this process's memory go of the bytes at [p, p + nBytes) (whole
    // pages around them) after they were read: the file keeps them, and they
    // are read again from it if needed.
    void release(const char* p, qint64 nBytes) const;

private:
    const char* m_p;
    qint64 m_nSize;
    [[maybe_unused]] void* m_hHeld; // used on Windows only
};

// The file mapped, or null with sError set: "empty" when it holds no byte,
// otherwise why it could not be opened, copied or mapped (a caller may read
// it then). What is mapped is a private copy: a file without a name beside
// the delivered one (sharing its blocks where the file system can), made
// when the file is taken over. Another process may then truncate, rewrite or
// remove the delivered file without touching the page (a mapping of a file
// that shrinks would end this process with SIGBUS at the first byte past the
// new end, which no reader could check for). A file cut short while it is
// copied is reported so ("cut short") and not mapped. On Windows, which
// refuses to shorten a mapped file, the file itself is mapped and held open
// without sharing it for writing while the mapping lives: no other process can
// then rewrite the page, and a file that a writer still holds open is not
// mapped (a sharing violation, so the caller reads it).
std::shared_ptr<const ImageFileMapping> mapImageFile(const QString& sFileName, QString& sError);

// The size of a memory page; 0 when it cannot be told.
long memoryPageSize();

// Lets this process's memory go of the whole pages in [nFrom, nTo) (both on
// page boundaries) of a read-only file mapping: read again from the file if needed.
void dropMappedPages(quintptr nFrom, quintptr nTo);

// Writes at most nBytes at the open file's position: the count written (> 0),
// or 0 with the system's own reason in sWhy ("No space left on device" where
// a write takes nothing).
qint64 writeSome(QFileDevice& file, const char* p, qint64 nBytes, QString& sWhy);

// Each system has its own implementation of these and of ImageFileMapping
// (imagemapping_unix.cpp, imagemapping_win.cpp).

} // namespace pelirand
