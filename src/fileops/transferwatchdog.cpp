#include "fileops/transferwatchdog.h"

#include <algorithm>

namespace {

// How often the limits are checked, at most: often enough that a limit trips soon after it is
// reached, rarely enough to cost nothing.
constexpr int kMaxTickMs = 1000;
constexpr int kMinTickMs = 10;
constexpr int kTicksPerLimit = 4;
constexpr qint64 kMsPerSecond = 1000;

} // namespace

TransferWatchdog::TransferWatchdog(const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
{
    int tick = kMaxTickMs;
    if (m_limits.noDataMs > 0)
        tick = std::min(tick, m_limits.noDataMs / kTicksPerLimit);
    if (m_limits.minBytesPerSecond > 0 && m_limits.rateWindowMs > 0)
        tick = std::min(tick, m_limits.rateWindowMs / kTicksPerLimit);
    m_tick.setInterval(std::max(tick, kMinTickMs));
    connect(&m_tick, &QTimer::timeout, this, &TransferWatchdog::check);
}

void TransferWatchdog::start()
{
    m_bytes = 0;
    m_lastDataMs = 0;
    m_samples.clear();
    m_clock.start();
    m_samples.append({0, 0});
    m_tick.start();
}

void TransferWatchdog::stop()
{
    m_tick.stop();
}

void TransferWatchdog::setBytes(qint64 total)
{
    if (total > m_bytes && m_clock.isValid())
        m_lastDataMs = m_clock.elapsed();
    m_bytes = total;
}

QString TransferWatchdog::describe(Reason reason) const
{
    if (reason == Reason::NoData)
        return QStringLiteral("超时: %1 秒内未收到数据").arg(m_limits.noDataMs / double(kMsPerSecond));
    return QStringLiteral("超时: %1 秒内平均每秒收到的数据少于 %2 字节")
        .arg(m_limits.rateWindowMs / double(kMsPerSecond))
        .arg(m_limits.minBytesPerSecond);
}

void TransferWatchdog::check()
{
    const qint64 now = m_clock.elapsed();
    if (m_limits.noDataMs > 0 && now - m_lastDataMs >= m_limits.noDataMs) {
        stop();
        emit timedOut(Reason::NoData);
        return;
    }
    if (m_limits.minBytesPerSecond <= 0 || m_limits.rateWindowMs <= 0)
        return;
    m_samples.append({now, m_bytes});
    // The oldest sample still inside the window decides; the window must be full first.
    while (m_samples.size() > 1 && now - m_samples.at(1).atMs >= m_limits.rateWindowMs)
        m_samples.removeFirst();
    const Sample &oldest = m_samples.first();
    if (now - oldest.atMs < m_limits.rateWindowMs)
        return;
    if ((m_bytes - oldest.bytes) * kMsPerSecond < m_limits.minBytesPerSecond * (now - oldest.atMs)) {
        stop();
        emit timedOut(Reason::TooSlow);
    }
}
