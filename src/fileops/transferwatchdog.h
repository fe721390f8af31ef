#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

// Watches one transfer for a server that sends too little: nothing at all for noDataMs, or less
// than minBytesPerSecond on average over the last rateWindowMs (a server that drips one byte
// every few seconds never trips a no-data limit). The owner reports the bytes it has stored;
// timedOut() tells it to give up, once.
class TransferWatchdog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferWatchdog)

public:
    enum class Reason { NoData, TooSlow };

    struct Limits
    {
        int noDataMs = 0;              // 0 or less: no limit
        qint64 minBytesPerSecond = 0;  // 0 or less: no limit
        int rateWindowMs = 0;
    };

    explicit TransferWatchdog(const Limits &limits, QObject *parent = nullptr);

    // Starts watching; the byte count starts at 0.
    void start();
    void stop();
    // The bytes stored so far (a total, not an increment).
    void setBytes(qint64 total);

    // The text for the log and the user: what was too little, in how long.
    [[nodiscard]] QString describe(Reason reason) const;

signals:
    void timedOut(TransferWatchdog::Reason reason);

private:
    void check();

    struct Sample
    {
        qint64 atMs;
        qint64 bytes;
    };

    Limits m_limits;
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_bytes = 0;
    qint64 m_lastDataMs = 0;
    QVector<Sample> m_samples; // one per tick, covering the rate window
};
