#include "document/TiffIo.h"

#include "document/ImageServices.h"

#include <QFile>
#include <algorithm>
#include <cstring>

namespace gd {
namespace {

int Quiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TOptions {
    TOptions() : Opts(TIFFOpenOptionsAlloc()) {
        TIFFOpenOptionsSetErrorHandlerExtR(Opts, Quiet, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(Opts, Quiet, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(Opts, tmsize_t(kMaxFrameBytes));
    }
    ~TOptions() { TIFFOpenOptionsFree(Opts); }
    TOptions(const TOptions&) = delete;
    TOptions& operator=(const TOptions&) = delete;
    TIFFOpenOptions* Opts;
};

tmsize_t MemRead(thandle_t h, void* buf, tmsize_t size) {
    auto* m = static_cast<TTiffMemory*>(h);
    if (m->Pos >= m->Data.size())
        return 0;
    const tmsize_t n = std::min<tmsize_t>(size, tmsize_t(m->Data.size() - m->Pos));
    std::memcpy(buf, m->Data.data() + m->Pos, size_t(n));
    m->Pos += toff_t(n);
    return n;
}

tmsize_t MemWrite(thandle_t h, void* buf, tmsize_t size) {
    auto* m = static_cast<TTiffMemory*>(h);
    if (m->Pos + toff_t(size) > m->Data.size())
        m->Data.resize(size_t(m->Pos + toff_t(size)));
    std::memcpy(m->Data.data() + m->Pos, buf, size_t(size));
    m->Pos += toff_t(size);
    return size;
}

toff_t MemSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<TTiffMemory*>(h);
    const toff_t base = whence == SEEK_CUR ? m->Pos : whence == SEEK_END ? m->Data.size() : 0;
    m->Pos = base + off;
    return m->Pos;
}

int MemClose(thandle_t) {
    return 0;
}

toff_t MemSize(thandle_t h) {
    return static_cast<TTiffMemory*>(h)->Data.size();
}

int MemMap(thandle_t, void**, toff_t*) {
    return 0;
}

void MemUnmap(thandle_t, void*, toff_t) {}

} // namespace

void TTiffCloser::operator()(TIFF* tif) const {
    if (tif)
        TIFFClose(tif);
}

TTiffPtr OpenTiffFile(const QString& path, const char* mode) {
    TOptions o;
    return TTiffPtr(TIFFOpenExt(QFile::encodeName(path).constData(), mode, o.Opts));
}

TTiffPtr OpenTiffMemory(TTiffMemory& memory, const char* mode) {
    TOptions o;
    memory.Pos = 0;
    return TTiffPtr(TIFFClientOpenExt("memory", mode, &memory, MemRead, MemWrite, MemSeek, MemClose,
                                      MemSize, MemMap, MemUnmap, o.Opts));
}

bool CopyTiffDirectory(TIFF* in, TIFF* out) {
    bool ok = true;
    auto copy32 = [&](ttag_t tag) {
        uint32_t v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    auto copy16 = [&](ttag_t tag) {
        uint16_t v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    auto copyFloat = [&](ttag_t tag) {
        float v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    copy32(TIFFTAG_IMAGEWIDTH);
    copy32(TIFFTAG_IMAGELENGTH);
    copy16(TIFFTAG_BITSPERSAMPLE);
    copy16(TIFFTAG_SAMPLESPERPIXEL);
    copy16(TIFFTAG_PHOTOMETRIC);
    copy16(TIFFTAG_PLANARCONFIG);
    copy16(TIFFTAG_COMPRESSION);
    copy32(TIFFTAG_ROWSPERSTRIP);
    copy16(TIFFTAG_RESOLUTIONUNIT);
    copyFloat(TIFFTAG_XRESOLUTION);
    copyFloat(TIFFTAG_YRESOLUTION);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(in, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_LZW)
        copy16(TIFFTAG_PREDICTOR);
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount > 0)
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, extraCount, extra);
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue))
        TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);

    // A strip is read whole into memory: one that claims more than the cap
    // or more than the data holds is refused before anything is allocated.
    const toff_t dataSize = TIFFGetSizeProc(in)(TIFFClientdata(in));
    std::vector<char> buf;
    const uint32_t strips = TIFFNumberOfStrips(in);
    for (uint32_t s = 0; ok && s < strips; ++s) {
        const tmsize_t size = TIFFRawStripSize(in, s);
        const toff_t at = TIFFGetStrileOffset(in, s);
        if (size < 0 || size > kMaxFrameBytes || at > dataSize || toff_t(size) > dataSize - at) {
            ok = false;
            break;
        }
        buf.resize(size_t(std::max<tmsize_t>(size, 1)));
        const tmsize_t got = size > 0 ? TIFFReadRawStrip(in, s, buf.data(), size) : 0;
        ok = got == size && TIFFWriteRawStrip(out, s, buf.data(), size) == size;
    }
    return ok && TIFFWriteDirectory(out) == 1;
}

} // namespace gd
