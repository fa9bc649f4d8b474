#pragma once

#include <QObject>

class QSocketNotifier;

namespace gd {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread (the
// handler only writes a byte into a socket pair).
class SignalBridge : public QObject {
    Q_OBJECT
public:
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;

signals:
    void terminationRequested(int signal);

private:
    void readSignal();
    QSocketNotifier* FNotifier = nullptr;
};

} // namespace gd
