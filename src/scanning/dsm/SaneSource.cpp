#include "scanning/dsm/SaneSource.h"

#include "scanning/Twain.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sane/saneopts.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace twain;

namespace gddsm {

std::uint16_t ConditionOf(SANE_Status status) {
    switch (status) {
    case SANE_STATUS_GOOD:
        return TWCC_SUCCESS;
    case SANE_STATUS_JAMMED:
        return TWCC_PAPERJAM;
    case SANE_STATUS_NO_MEM:
        return TWCC_LOWMEMORY;
    case SANE_STATUS_ACCESS_DENIED:
        return TWCC_DENIED;
    case SANE_STATUS_DEVICE_BUSY:
        return TWCC_MAXCONNECTIONS;
    case SANE_STATUS_INVAL:
        return TWCC_BADVALUE;
    default: // no documents, cover open, I/O error...: protocol 1.7 has no closer code
        return TWCC_BUMMER;
    }
}

namespace {

// How long a network device's saned has to accept a connection.
constexpr int SanedProbeMs = 5000;

// Whether host's saned (sane-port, as the net backend connects) accepts a
// connection within the bound.
bool SanedAnswers(const QByteArray& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.constData(), "sane-port", &hints, &list) != 0 &&
        ::getaddrinfo(host.constData(), "6566", &hints, &list) != 0)
        return false;
    bool ok = false;
    for (addrinfo* a = list; a && !ok; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            ok = ::poll(&p, 1, SanedProbeMs) == 1 &&
                 ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(list);
    return ok;
}

} // namespace

// SANE's net backend (1.1.1) does not survive a saned that has gone: a call
// whose request cannot be sent goes on with an uninitialised reply and frees
// pointers from it, which crashes the program. A network device is asked
// whether its saned still answers before a scan, and once it does not, no
// call but sane_close reaches the backend.
bool TSaneDevice::Reachable() {
    if (!FLost && FName.startsWith("net:")) {
        QByteArray host = FName.mid(4);
        if (host.startsWith('['))
            host = host.mid(1, host.indexOf(']') - 1);
        else
            host = host.left(host.indexOf(':'));
        FLost = !SanedAnswers(host);
    }
    return !FLost;
}

SANE_Status TSaneDevice::Open(const QByteArray& name) {
    Close();
    FLost = false;
    const SANE_Status st = sane_open(name.constData(), &FHandle);
    if (st != SANE_STATUS_GOOD)
        FHandle = nullptr;
    else
        FName = name;
    return st;
}

void TSaneDevice::Close() {
    if (!FHandle)
        return;
    Cancel();
    sane_close(FHandle);
    FHandle = nullptr;
}

int TSaneDevice::Find(const QByteArray& name, const SANE_Option_Descriptor** desc) const {
    if (!FHandle)
        return -1;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(FHandle, i);
        if (!d)
            return -1;
        if (d->name && name == d->name) {
            if (desc)
                *desc = d;
            return i;
        }
    }
}

SANE_Status TSaneDevice::SetOption(const QByteArray& name, const QString& value) {
    if (FLost)
        return SANE_STATUS_IO_ERROR;
    const SANE_Option_Descriptor* d = nullptr;
    const int i = Find(name, &d);
    if (i < 0 || !SANE_OPTION_IS_SETTABLE(d->cap))
        return SANE_STATUS_UNSUPPORTED;
    SANE_Int info = 0;
    switch (d->type) {
    case SANE_TYPE_BOOL: {
        const QString v = value.trimmed().toLower();
        SANE_Bool b = (v == u"yes" || v == u"true" || v == u"1") ? SANE_TRUE : SANE_FALSE;
        return sane_control_option(FHandle, i, SANE_ACTION_SET_VALUE, &b, &info);
    }
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
        bool ok = false;
        const double v = value.trimmed().toDouble(&ok);
        if (!ok)
            return SANE_STATUS_INVAL;
        // A vector option takes the one value in every element.
        const size_t n = std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word));
        std::vector<SANE_Word> words(n, d->type == SANE_TYPE_INT ? SANE_Word(std::lround(v))
                                                                 : SANE_FIX(v));
        return sane_control_option(FHandle, i, SANE_ACTION_SET_VALUE, words.data(), &info);
    }
    case SANE_TYPE_STRING: {
        QByteArray buf = value.toUtf8();
        buf.resize(std::max<qsizetype>(buf.size() + 1, d->size), '\0');
        return sane_control_option(FHandle, i, SANE_ACTION_SET_VALUE, buf.data(), &info);
    }
    default:
        return SANE_STATUS_UNSUPPORTED;
    }
}

SANE_Status TSaneDevice::SetOptions(const QString& assignments) {
    for (const QString& item : assignments.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        if (eq <= 0)
            return SANE_STATUS_INVAL;
        const SANE_Status st = SetOption(item.left(eq).trimmed().toUtf8(), item.mid(eq + 1));
        if (st != SANE_STATUS_GOOD)
            return st;
    }
    return SANE_STATUS_GOOD;
}

QString TSaneDevice::OptionText(const QByteArray& name) const {
    const SANE_Option_Descriptor* d = nullptr;
    const int i = Find(name, &d);
    if (i < 0 || !SANE_OPTION_IS_ACTIVE(d->cap))
        return {};
    std::vector<SANE_Byte> buf(size_t(std::max<SANE_Int>(d->size, sizeof(SANE_Word))) + 1, 0);
    if (sane_control_option(FHandle, i, SANE_ACTION_GET_VALUE, buf.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return {};
    SANE_Word w = 0;
    std::memcpy(&w, buf.data(), sizeof w);
    switch (d->type) {
    case SANE_TYPE_STRING:
        return QString::fromUtf8(reinterpret_cast<const char*>(buf.data()));
    case SANE_TYPE_INT:
    case SANE_TYPE_BOOL:
        return QString::number(w);
    case SANE_TYPE_FIXED:
        return QString::number(SANE_UNFIX(w));
    default:
        return {};
    }
}

QStringList TSaneDevice::StringList(const QByteArray& name) const {
    const SANE_Option_Descriptor* d = nullptr;
    QStringList out;
    if (Find(name, &d) < 0 || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return out;
    for (const SANE_String_Const* s = d->constraint.string_list; *s; ++s)
        out << QString::fromUtf8(*s);
    return out;
}

namespace {

// The depth option's allowed values (empty when the device has none).
QList<int> WordValues(const SANE_Option_Descriptor* d) {
    QList<int> out;
    if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        for (SANE_Int k = 1; k <= d->constraint.word_list[0]; ++k) {
            const SANE_Word w = d->constraint.word_list[k];
            out << int(d->type == SANE_TYPE_FIXED ? std::lround(SANE_UNFIX(w)) : w);
        }
    } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
        const SANE_Range* r = d->constraint.range;
        const auto val = [&](SANE_Word w) {
            return d->type == SANE_TYPE_FIXED ? double(SANE_UNFIX(w)) : double(w);
        };
        for (int dpi : {50, 75, 100, 150, 200, 300, 400, 600, 1200, 2400})
            if (dpi >= val(r->min) && dpi <= val(r->max))
                out << dpi;
    }
    return out;
}

} // namespace

QList<TScanMode> TSaneDevice::Modes() const {
    const QStringList modes = StringList(SANE_NAME_SCAN_MODE);
    QList<TScanMode> out;
    if (modes.contains(QStringLiteral(SANE_VALUE_SCAN_MODE_COLOR)))
        out << TScanMode::Colour;
    if (modes.contains(QStringLiteral(SANE_VALUE_SCAN_MODE_GRAY)))
        out << TScanMode::Gray;
    const SANE_Option_Descriptor* d = nullptr;
    const bool depthOne = Find(SANE_NAME_BIT_DEPTH, &d) >= 0 && WordValues(d).contains(1);
    if (modes.contains(QStringLiteral(SANE_VALUE_SCAN_MODE_LINEART)) ||
        (depthOne && modes.contains(QStringLiteral(SANE_VALUE_SCAN_MODE_GRAY))))
        out << TScanMode::BlackWhite;
    return out;
}

TScanMode TSaneDevice::Mode() const {
    const QString mode = OptionText(SANE_NAME_SCAN_MODE);
    if (mode == QStringLiteral(SANE_VALUE_SCAN_MODE_COLOR))
        return TScanMode::Colour;
    if (mode == QStringLiteral(SANE_VALUE_SCAN_MODE_LINEART) ||
        OptionText(SANE_NAME_BIT_DEPTH) == u"1")
        return TScanMode::BlackWhite;
    return TScanMode::Gray;
}

SANE_Status TSaneDevice::SetMode(TScanMode mode) {
    const QStringList modes = StringList(SANE_NAME_SCAN_MODE);
    const bool hasDepth = Find(SANE_NAME_BIT_DEPTH) >= 0;
    SANE_Status st = SANE_STATUS_GOOD;
    switch (mode) {
    case TScanMode::Colour:
        st = SetOption(SANE_NAME_SCAN_MODE, QStringLiteral(SANE_VALUE_SCAN_MODE_COLOR));
        break;
    case TScanMode::Gray:
        st = SetOption(SANE_NAME_SCAN_MODE, QStringLiteral(SANE_VALUE_SCAN_MODE_GRAY));
        break;
    case TScanMode::BlackWhite:
        if (modes.contains(QStringLiteral(SANE_VALUE_SCAN_MODE_LINEART)))
            return SetOption(SANE_NAME_SCAN_MODE, QStringLiteral(SANE_VALUE_SCAN_MODE_LINEART));
        st = SetOption(SANE_NAME_SCAN_MODE, QStringLiteral(SANE_VALUE_SCAN_MODE_GRAY));
        if (st == SANE_STATUS_GOOD)
            st = SetOption(SANE_NAME_BIT_DEPTH, QStringLiteral("1"));
        return st;
    }
    // Leaving black and white: back to a depth with shades (16 stays 16).
    if (st == SANE_STATUS_GOOD && hasDepth && OptionText(SANE_NAME_BIT_DEPTH) == u"1")
        SetOption(SANE_NAME_BIT_DEPTH, QStringLiteral("8"));
    return st;
}

QList<int> TSaneDevice::Resolutions() const {
    const SANE_Option_Descriptor* d = nullptr;
    if (Find(SANE_NAME_SCAN_RESOLUTION, &d) < 0)
        return {};
    QList<int> out = WordValues(d);
    const int current = Resolution();
    if (current > 0 && !out.contains(current)) {
        out << current;
        std::sort(out.begin(), out.end());
    }
    return out;
}

int TSaneDevice::Resolution() const {
    bool ok = false;
    const double v = OptionText(SANE_NAME_SCAN_RESOLUTION).toDouble(&ok);
    return ok ? int(std::lround(v)) : 0;
}

SANE_Status TSaneDevice::SetResolution(int dpi) {
    return SetOption(SANE_NAME_SCAN_RESOLUTION, QString::number(dpi));
}

bool TSaneDevice::FromFeeder() const {
    const QString source = OptionText(SANE_NAME_SCAN_SOURCE);
    return source.contains(QStringLiteral("feeder"), Qt::CaseInsensitive) ||
           source.contains(QStringLiteral("adf"), Qt::CaseInsensitive);
}

SANE_Status TSaneDevice::Start() {
    if (FStarted)
        return SANE_STATUS_GOOD;
    if (!Reachable())
        return SANE_STATUS_IO_ERROR;
    // A device may refuse its options while it scans: read them before.
    FStartResolution = Resolution();
    FStartFeeder = FromFeeder();
    const SANE_Status st = sane_start(FHandle);
    FStarted = st == SANE_STATUS_GOOD;
    if (!FStarted)
        sane_cancel(FHandle);
    return st;
}

void TSaneDevice::Cancel() {
    if (FHandle && !FLost)
        sane_cancel(FHandle);
    FStarted = false;
}

SANE_Status TSaneDevice::ReadImage(TScanImage& image) {
    SANE_Status st = Start();
    if (st != SANE_STATUS_GOOD)
        return st;
    // This page's data is taken now; a feeder's next page needs a new start.
    FStarted = false;
    image = TScanImage();
    image.Resolution = FStartResolution;
    std::vector<std::uint8_t> planes[3];
    bool first = true;
    SANE_Parameters p{};
    for (;;) {
        if (!first) {
            st = sane_start(FHandle);
            if (st != SANE_STATUS_GOOD)
                return st;
        }
        st = sane_get_parameters(FHandle, &p);
        if (st != SANE_STATUS_GOOD)
            return st;
        if (p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB &&
            p.format != SANE_FRAME_RED && p.format != SANE_FRAME_GREEN &&
            p.format != SANE_FRAME_BLUE)
            return SANE_STATUS_UNSUPPORTED;
        if (p.depth != 1 && p.depth != 8 && p.depth != 16)
            return SANE_STATUS_UNSUPPORTED;
        // Read straight into the frame; a hand scanner's unknown length grows it.
        std::vector<std::uint8_t> frame;
        size_t used = 0;
        frame.resize(p.lines > 0 ? size_t(p.lines) * size_t(p.bytes_per_line) + 1 : 1 << 20);
        for (;;) {
            if (frame.size() - used < 64 * 1024)
                frame.resize(frame.size() * 2);
            SANE_Int len = 0;
            const size_t room = std::min<size_t>(frame.size() - used, 1 << 30);
            st = sane_read(FHandle, frame.data() + used, SANE_Int(room), &len);
            if (st == SANE_STATUS_EOF)
                break;
            if (st != SANE_STATUS_GOOD)
                return st;
            used += size_t(len);
        }
        frame.resize(used);
        const int rows = p.bytes_per_line > 0 ? int(frame.size() / size_t(p.bytes_per_line)) : 0;
        if (first || rows < image.Height) {
            image.Height = rows;
        }
        image.Width = p.pixels_per_line;
        image.Depth = p.depth;
        image.BytesPerLine = p.bytes_per_line;
        switch (p.format) {
        case SANE_FRAME_GRAY:
        case SANE_FRAME_RGB:
            image.Colour = p.format == SANE_FRAME_RGB;
            image.Data = std::move(frame);
            break;
        default:
            planes[p.format - SANE_FRAME_RED] = std::move(frame);
            break;
        }
        first = false;
        if (p.last_frame)
            break;
    }
    // The page is complete: end the device's operation (some backends keep
    // its buffers until then); a feeder's next sheet comes with a new start.
    sane_cancel(FHandle);
    if (p.format == SANE_FRAME_RED || p.format == SANE_FRAME_GREEN || p.format == SANE_FRAME_BLUE) {
        // Three passes: interleave the planes (1-bit planes are unpacked to 8).
        const int depth = image.Depth == 1 ? 8 : image.Depth;
        const int sampleBytes = depth / 8;
        const int bpl = image.Width * 3 * sampleBytes;
        image.Colour = true;
        image.Data.assign(size_t(bpl) * size_t(image.Height), 0);
        for (int c = 0; c < 3; ++c) {
            if (planes[c].size() < size_t(p.bytes_per_line) * size_t(image.Height))
                return SANE_STATUS_IO_ERROR;
            for (int y = 0; y < image.Height; ++y) {
                const std::uint8_t* src = planes[c].data() + size_t(y) * size_t(p.bytes_per_line);
                std::uint8_t* dst = image.Data.data() + size_t(y) * size_t(bpl);
                for (int x = 0; x < image.Width; ++x) {
                    if (image.Depth == 1)
                        dst[x * 3 + c] = (src[x / 8] & (0x80 >> (x % 8))) ? 0xFF : 0;
                    else
                        std::memcpy(dst + (x * 3 + c) * sampleBytes, src + x * sampleBytes,
                                    size_t(sampleBytes));
                }
            }
        }
        image.Depth = depth;
        image.BytesPerLine = bpl;
    }
    if (image.Height <= 0 || image.Width <= 0)
        return SANE_STATUS_IO_ERROR;
    return SANE_STATUS_GOOD;
}

// --- BMP -------------------------------------------------------------------

namespace {

void Put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    Put16(b, std::uint16_t(v));
    Put16(b, std::uint16_t(v >> 16));
}

// A 16-bit sample in the host's order scaled to 8 bits, rounded.
std::uint8_t High(const std::uint8_t* sample) {
    std::uint16_t v;
    std::memcpy(&v, sample, 2);
    return std::uint8_t((v - (v >> 8) + 0x80) >> 8);
}

} // namespace

int WriteBmp(const TScanImage& image, const QString& path) {
    const bool mono = !image.Colour && image.Depth == 1;
    const int bits = mono ? 1 : image.Colour ? 24 : 8;
    const int paletteSize = bits == 24 ? 0 : (1 << bits);
    const std::uint32_t rowBytes = ((std::uint32_t(image.Width) * bits + 31) / 32) * 4;
    const std::uint32_t dataOffset = 14 + 40 + 4 * paletteSize;
    const std::uint64_t imageBytes = std::uint64_t(rowBytes) * std::uint64_t(image.Height);
    if (dataOffset + imageBytes > 0xFFFFFFFFu)
        return EFBIG;
    const std::uint32_t ppm = std::uint32_t(std::lround(image.Resolution / 0.0254));

    std::vector<std::uint8_t> head;
    head.reserve(dataOffset);
    head.push_back('B');
    head.push_back('M');
    Put32(head, std::uint32_t(dataOffset + imageBytes));
    Put32(head, 0);
    Put32(head, dataOffset);
    Put32(head, 40);
    Put32(head, std::uint32_t(image.Width));
    Put32(head, std::uint32_t(image.Height)); // bottom-up rows
    Put16(head, 1);
    Put16(head, std::uint16_t(bits));
    Put32(head, 0); // BI_RGB
    Put32(head, std::uint32_t(imageBytes));
    Put32(head, ppm);
    Put32(head, ppm);
    Put32(head, std::uint32_t(paletteSize));
    Put32(head, 0);
    for (int i = 0; i < paletteSize; ++i) {
        const std::uint8_t g = mono ? std::uint8_t(i ? 0xFF : 0) : std::uint8_t(i);
        head.insert(head.end(), {g, g, g, 0});
    }

    FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f)
        return errno;
    std::vector<char> ioBuffer(1 << 20);
    std::setvbuf(f, ioBuffer.data(), _IOFBF, ioBuffer.size());
    int err = 0;
    if (std::fwrite(head.data(), 1, head.size(), f) != head.size())
        err = errno ? errno : EIO;
    std::vector<std::uint8_t> row(rowBytes, 0);
    for (int y = image.Height - 1; y >= 0 && !err; --y) {
        const std::uint8_t* src = image.Data.data() + size_t(y) * size_t(image.BytesPerLine);
        if (mono) {
            // SANE's 1 is black; the palette's index 0 is black.
            const size_t n = size_t(image.Width + 7) / 8;
            for (size_t i = 0; i < n; ++i)
                row[i] = std::uint8_t(~src[i]);
            if (image.Width % 8)
                row[n - 1] &= std::uint8_t(0xFF << (8 - image.Width % 8));
        } else if (!image.Colour && image.Depth == 8) {
            std::memcpy(row.data(), src, size_t(image.Width));
        } else if (!image.Colour) {
            for (int x = 0; x < image.Width; ++x)
                row[size_t(x)] = High(src + 2 * x);
        } else if (image.Depth == 8) {
            for (int x = 0; x < image.Width; ++x) {
                row[size_t(3 * x)] = src[3 * x + 2]; // BMP keeps blue first
                row[size_t(3 * x + 1)] = src[3 * x + 1];
                row[size_t(3 * x + 2)] = src[3 * x];
            }
        } else {
            for (int x = 0; x < image.Width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    std::uint8_t v;
                    if (image.Depth == 16)
                        v = High(src + 6 * x + 2 * c);
                    else if (image.Depth == 1) {
                        const int bit = x * 3 + c;
                        v = (src[bit / 8] & (0x80 >> (bit % 8))) ? 0xFF : 0;
                    } else
                        v = src[3 * x + c];
                    row[size_t(3 * x + 2 - c)] = v; // BMP keeps blue first
                }
            }
        }
        if (std::fwrite(row.data(), 1, rowBytes, f) != rowBytes)
            err = errno ? errno : EIO;
    }
    if (std::fclose(f) != 0 && !err)
        err = errno ? errno : EIO;
    if (err)
        std::remove(QFile::encodeName(path).constData());
    return err;
}

} // namespace gddsm
