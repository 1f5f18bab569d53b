#pragma once

#include <QByteArrayView>
#include <QString>

namespace skyloom {

// Decodes bytes as browsers decode a page labelled gb2312: the GBK/gb18030 decoder of the
// WHATWG Encoding Standard. Each undecodable sequence becomes one U+FFFD, and an ASCII byte
// that ends a bad sequence is decoded on its own, so markup is never swallowed.
QString DecodeGb2312(QByteArrayView bytes);

}  // namespace skyloom
