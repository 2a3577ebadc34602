#pragma once

// TIFF files as the bridge and sources deliver them, decoded without a Qt
// image plugin: 16-bit grey keeps its 16 bits (QImage::Format_Grayscale16).

#include <QByteArray>
#include <QImage>
#include <QString>

namespace pelirand {

// Null with pError set when the data is not a TIFF that can be decoded.
QImage decodeTiff(const QByteArray& data, QString* pError = nullptr);

} // namespace pelirand
