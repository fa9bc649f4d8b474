#include "document/PageRotate.h"

#include <QTransform>
#include <algorithm>
#include <array>
#include <cstring>

namespace gd {

namespace {

constexpr std::array<uchar, 256> MakeReversed() {
    std::array<uchar, 256> r{};
    for (int i = 0; i < 256; ++i) {
        int v = 0;
        for (int b = 0; b < 8; ++b)
            if (i & (1 << b))
                v |= 0x80 >> b;
        r[size_t(i)] = uchar(v);
    }
    return r;
}
constexpr std::array<uchar, 256> kReversed = MakeReversed();

// Byte j, bit k of the result is byte k, bit j of x (an 8 by 8 bit matrix
// transposed in three swap steps).
inline quint64 Transpose8(quint64 x) {
    quint64 t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    return x ^ t ^ (t << 28);
}

// A quarter turn of a 1-bit image, eight rows by eight columns at a time.
// Bits are handled in MSB-first order; LSB-first rows are reversed bytewise
// on the way in and out.
void TurnBitsQuarter(const QImage& src, QImage& dst, bool right, bool lsb) {
    const int w = src.width(), h = src.height();
    const uchar* const s = src.constBits();
    const qsizetype sbpl = src.bytesPerLine();
    uchar* const d = dst.bits();
    const qsizetype dbpl = dst.bytesPerLine();
    const int srcBytes = (w + 7) / 8, dstBytes = (h + 7) / 8;
    for (int dx = 0; dx < dstBytes; ++dx) {
        // The eight source rows that become the bits of destination byte dx,
        // the row of bit 0 (least significant) first.
        std::array<const uchar*, 8> rows{};
        for (int k = 0; k < 8; ++k) {
            const int r = right ? h - 8 - 8 * dx + k : 8 * dx + 7 - k;
            rows[size_t(k)] = r >= 0 && r < h ? s + sbpl * r : nullptr;
        }
        for (int sx = 0; sx < srcBytes; ++sx) {
            quint64 x = 0;
            for (int k = 0; k < 8; ++k) {
                if (const uchar* row = rows[size_t(k)]) {
                    const uchar v = lsb ? kReversed[row[sx]] : row[sx];
                    x |= quint64(v) << (8 * k);
                }
            }
            if (x == 0) {
                // dst was cleared: blank blocks (most of a document) cost nothing more.
                continue;
            }
            x = Transpose8(x);
            for (int j = 0; j < 8; ++j) {
                const int y = right ? 8 * sx + 7 - j : w - 8 - 8 * sx + j;
                if (y < 0 || y >= w)
                    continue;
                const uchar v = uchar(x >> (8 * j));
                d[dbpl * y + dx] = lsb ? kReversed[v] : v;
            }
        }
    }
}

void TurnBitsHalf(const QImage& src, QImage& dst, bool lsb) {
    const int w = src.width(), h = src.height();
    const int bytes = (w + 7) / 8, pad = bytes * 8 - w;
    std::vector<uchar> tmp(size_t(bytes) + 1, 0);
    for (int y = 0; y < h; ++y) {
        // Reversing the bytes and the bits of each byte reverses the padded
        // row; the padding, now in front, is shifted out.
        const uchar* s = src.constScanLine(h - 1 - y);
        for (int i = 0; i < bytes; ++i)
            tmp[size_t(i)] = kReversed[s[bytes - 1 - i]];
        uchar* d = dst.scanLine(y);
        for (int i = 0; i < bytes; ++i) {
            const unsigned a = tmp[size_t(i)], b = tmp[size_t(i) + 1];
            d[i] = pad == 0 ? uchar(a)
                   : lsb    ? uchar((a >> pad) | (b << (8 - pad)))
                            : uchar((a << pad) | (b >> (8 - pad)));
        }
    }
}

template <int N> void TurnQuarter(const QImage& src, QImage& dst, bool right) {
    const int w = src.width(), h = src.height(); // dst is h wide and w tall
    const uchar* const s = src.constBits();
    const qsizetype sbpl = src.bytesPerLine();
    uchar* const d = dst.bits();
    const qsizetype dbpl = dst.bytesPerLine();
    // Tiles keep both the rows read and the rows written in cache.
    constexpr int kTile = 64;
    for (int y0 = 0; y0 < w; y0 += kTile) {
        const int y1 = std::min(y0 + kTile, w);
        for (int x0 = 0; x0 < h; x0 += kTile) {
            const int x1 = std::min(x0 + kTile, h);
            for (int y = y0; y < y1; ++y) {
                uchar* out = d + dbpl * y + qsizetype(x0) * N;
                const uchar* col = s + qsizetype(right ? y : w - 1 - y) * N;
                for (int x = x0; x < x1; ++x, out += N)
                    std::memcpy(out, col + sbpl * (right ? h - 1 - x : x), N);
            }
        }
    }
}

template <int N> void TurnHalf(const QImage& src, QImage& dst) {
    const int w = src.width(), h = src.height();
    for (int y = 0; y < h; ++y) {
        const uchar* s = src.constScanLine(h - 1 - y);
        uchar* d = dst.scanLine(y);
        for (int x = 0; x < w; ++x)
            std::memcpy(d + qsizetype(x) * N, s + qsizetype(w - 1 - x) * N, N);
    }
}

template <int N> void Turn(const QImage& src, QImage& dst, TRotation turn) {
    if (turn == TRotation::Half)
        TurnHalf<N>(src, dst);
    else
        TurnQuarter<N>(src, dst, turn == TRotation::Right);
}

} // namespace

QImage RotateImage(const QImage& image, TRotation turn) {
    if (image.isNull())
        return QImage();
    const bool quarter = turn != TRotation::Half;
    QImage dst(quarter ? image.height() : image.width(), quarter ? image.width() : image.height(),
               image.format());
    if (dst.isNull())
        return dst;
    dst.setColorTable(image.colorTable());
    dst.setDotsPerMeterX(quarter ? image.dotsPerMeterY() : image.dotsPerMeterX());
    dst.setDotsPerMeterY(quarter ? image.dotsPerMeterX() : image.dotsPerMeterY());
    dst.setDevicePixelRatio(image.devicePixelRatio());
    switch (image.depth()) {
    case 1: {
        const bool lsb = image.format() == QImage::Format_MonoLSB;
        if (quarter) {
            dst.fill(0);
            TurnBitsQuarter(image, dst, turn == TRotation::Right, lsb);
        } else {
            TurnBitsHalf(image, dst, lsb);
        }
        break;
    }
    case 8:
        Turn<1>(image, dst, turn);
        break;
    case 16:
        Turn<2>(image, dst, turn);
        break;
    case 24:
        Turn<3>(image, dst, turn);
        break;
    case 32:
        Turn<4>(image, dst, turn);
        break;
    case 64:
        Turn<8>(image, dst, turn);
        break;
    default:
        // Floating-point formats, which no page is decoded to; Qt's own
        // transform does not resample quarter turns either.
        return image.transformed(QTransform().rotate(turn == TRotation::Left    ? -90
                                                     : turn == TRotation::Right ? 90
                                                                                : 180));
    }
    return dst;
}

void RotatePages(TImagePages& pages, const std::vector<int>& indexes, TRotation turn) {
    for (int i : indexes)
        pages.Get(i); // index errors before anything changes
    std::vector<int> todo = indexes;
    std::sort(todo.begin(), todo.end());
    todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
    bool changed = false;
    for (int i : todo) {
        TGPBitmap* bitmap = pages.Get(i)->GetBitmap();
        const QImage image = bitmap ? bitmap->ToQImage() : QImage();
        if (image.isNull())
            continue;
        pages.Put(i, TImagePage::CreateFromBitmap(TGPBitmap::FromQImage(RotateImage(image, turn))));
        changed = true;
    }
    if (changed)
        pages.SetModified(true);
}

} // namespace gd
