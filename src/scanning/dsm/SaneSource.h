#pragma once

// The SANE side of the Source Manager: one opened device, its few options
// the scanning dialog offers, and one scanned image.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <sane/sane.h>
#include <vector>

namespace gddsm {

enum class TScanMode { Colour, Gray, BlackWhite };

// An image as scanned: rows top-down, samples as the device sent them.
struct TScanImage {
    bool Colour = false;   // RGB interleaved, else gray
    int Depth = 8;         // 1, 8 or 16 bits per sample
    int Width = 0;         // pixels
    int Height = 0;        // rows
    int BytesPerLine = 0;  // of Data (may exceed the pixels' need)
    double Resolution = 0; // dots per inch, 0 when unknown
    std::vector<std::uint8_t> Data;
};

// The TWAIN condition code that best states a SANE failure.
std::uint16_t ConditionOf(SANE_Status status);

class TSaneDevice {
public:
    ~TSaneDevice() { Close(); }
    SANE_Status Open(const QByteArray& name);
    void Close();
    bool IsOpen() const { return FHandle != nullptr; }
    const QByteArray& Name() const { return FName; }

    // "name=value;name=value" as the automation hook gives it.
    SANE_Status SetOptions(const QString& assignments);
    SANE_Status SetOption(const QByteArray& name, const QString& value);
    QString OptionText(const QByteArray& name) const;

    QList<TScanMode> Modes() const;
    TScanMode Mode() const;
    SANE_Status SetMode(TScanMode mode);
    QList<int> Resolutions() const;
    int Resolution() const;
    SANE_Status SetResolution(int dpi);
    bool FromFeeder() const;

    // One page: sane_start (unless Started()) and every frame to its end.
    SANE_Status Start();
    bool Started() const { return FStarted; }
    // Whether the page last started came from a feeder.
    bool StartedFromFeeder() const { return FStartFeeder; }
    SANE_Status ReadImage(TScanImage& image);
    void Cancel();
    // False once a network device's saned does not answer: the device is
    // then left alone (see SaneSource.cpp).
    bool Reachable();

private:
    int Find(const QByteArray& name, const SANE_Option_Descriptor** desc = nullptr) const;
    QStringList StringList(const QByteArray& name) const;

    SANE_Handle FHandle = nullptr;
    QByteArray FName;
    bool FStarted = false;
    int FStartResolution = 0;
    bool FStartFeeder = false;
    bool FLost = false;
};

// Writes the image as an uncompressed BMP (1-bit, 8-bit gray or 24-bit) with
// its resolution; returns 0 or the errno of the failure.
int WriteBmp(const TScanImage& image, const QString& path);

} // namespace gddsm
