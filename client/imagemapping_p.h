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
    ImageFileMapping(const char* p, qint64 nSize) : m_p(p), m_nSize(nSize) {}
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
};

// The file mapped, or null with sError set: "empty" when it holds no byte,
// otherwise why it could not be opened, copied or mapped (a caller may read
// it then). What is mapped is a private copy: a file without a name beside
// the delivered one (sharing its blocks where the file system can), made
// when the file is taken over. Another process may then truncate, rewrite or
// remove the delivered file without touching the page (a mapping of a file
// that shrinks would end this process with SIGBUS at the first byte past the
// new end, which no reader could check for). A file cut short while it is
// copied is reported so ("cut short") and not mapped.
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
