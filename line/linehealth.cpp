#include "linehealth.h"

#include "linestatistics.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<bool> demotion{true};

// A retry due this close to the cap is tried at once, so that waiting for the line's room
// for retries behind other demoted instruments still keeps within the cap.
const std::chrono::seconds dueMargin(10);

int milliseconds(std::chrono::steady_clock::duration elapsed)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

} // namespace

std::string InstrumentHealth::reasonText() const
{
    const std::string text = lastFailure.text();
    const std::string prefix = "未同步：";
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

void LineHealth::setDemotionEnabled(bool on)
{
    demotion.store(on);
}

bool LineHealth::demotionEnabled()
{
    return demotion.load();
}

LineHealth::Turn LineHealth::nextTurn(bool sync)
{
    std::lock_guard<std::mutex> guard(lock);
    const Clock::time_point now = Clock::now();
    if (lastOpportunity != Clock::time_point())
        passGap = now - lastOpportunity;
    lastOpportunity = now;
    // Only the sync the operator asked for takes the request; a pass before it tries too.
    if (forced) {
        forced = !sync;
        lastTry = now;
        return Try;
    }
    // One whose last exchange failed may be going silent: it waits for the others, so that
    // the timeouts it takes to demote it do not cost them their readings.
    if (!figures.demoted)
        return figures.consecutiveFailures > 0 && demotion.load() ? Due : Try;
    const auto cap = std::chrono::seconds(maxRetrySeconds) - dueMargin;
    if (skipsLeft > 0 && now - lastTry + passGap < cap) {
        --skipsLeft;
        figures.nextTryPasses = skipsLeft;
        return Skip;
    }
    skipsLeft = 0;
    figures.nextTryPasses = 0;
    return Due;
}

void LineHealth::retrying()
{
    std::lock_guard<std::mutex> guard(lock);
    lastTry = Clock::now();
}

std::chrono::steady_clock::time_point LineHealth::lastTryTime() const
{
    std::lock_guard<std::mutex> guard(lock);
    return lastTry;
}

std::chrono::steady_clock::duration LineHealth::waited() const
{
    std::lock_guard<std::mutex> guard(lock);
    return lastTry == Clock::time_point() ? Clock::duration::max() : Clock::now() - lastTry;
}

std::chrono::steady_clock::duration LineHealth::retryCap()
{
    return std::chrono::seconds(maxRetrySeconds) - dueMargin;
}

std::chrono::steady_clock::duration LineHealth::forceRetryAfter() const
{
    std::lock_guard<std::mutex> guard(lock);
    if (figures.demoted)
        return retryCap();
    return std::clamp<Clock::duration>(passGap * 5, std::chrono::seconds(5), retryCap());
}

void LineHealth::recordExchange(const SyncFailure &outcome, Clock::duration elapsed)
{
    std::lock_guard<std::mutex> guard(lock);
    // Off, the counters and response times stay as they are; demotion goes on the same.
    const bool counting = LineStatistics::countingEnabled();
    figures.exchanges += counting;
    lastTry = Clock::now();
    switch (outcome.kind) {
    case SyncFailure::None:
        if (counting) {
            responses.add(milliseconds(elapsed));
            figures.lastGoodAnswerMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count();
        }
        figures.consecutiveFailures = 0;
        figures.demoted = false;
        figures.lastFailure = SyncFailure();
        figures.nextTryPasses = 0;
        backoff = 0;
        skipsLeft = 0;
        return;
    case SyncFailure::NoAnswer:
        figures.noAnswer += counting;
        break;
    case SyncFailure::FrameError:
        figures.frameErrors += counting;
        break;
    case SyncFailure::ExceptionAnswer:
        figures.exceptionAnswers += counting;
        break;
    default:
        // The port failed, not the instrument: nothing against it.
        figures.portErrors += counting;
        figures.lastFailure = outcome;
        return;
    }
    figures.lastFailure = outcome;
    ++figures.consecutiveFailures;
    if (figures.demoted)
        demoteFurther(Clock::now());
    else if (figures.consecutiveFailures >= demoteAfter && demotion.load()) {
        figures.demoted = true;
        backoff = 0;
        demoteFurther(Clock::now());
    }
}

void LineHealth::demoteFurther(Clock::time_point now)
{
    // Doubling stops well before the cap takes over; the cap bounds the time anyway.
    backoff = backoff == 0 ? 1 : std::min(backoff * 2, 1 << 16);
    skipsLeft = backoff;
    figures.nextTryPasses = skipsLeft;
    lastTry = now;
}

void LineHealth::recordSyncRefusal(const SyncFailure &reason)
{
    std::lock_guard<std::mutex> guard(lock);
    if (reason.kind == SyncFailure::OtherModel)
        ++figures.otherModel;
    else
        ++figures.unsupported;
    figures.lastFailure = reason;
}

void LineHealth::tryNow()
{
    std::lock_guard<std::mutex> guard(lock);
    forced = true;
}

void LineHealth::reset()
{
    std::lock_guard<std::mutex> guard(lock);
    figures = InstrumentHealth();
    responses.clear();
    forced = false;
    backoff = 0;
    skipsLeft = 0;
    lastTry = Clock::time_point();
    lastOpportunity = Clock::time_point();
    passGap = Clock::duration(0);
}

InstrumentHealth LineHealth::snapshot() const
{
    std::lock_guard<std::mutex> guard(lock);
    InstrumentHealth copy = figures;
    copy.lastResponseMs = responses.lastMs();
    copy.medianResponseMs = responses.medianMs();
    copy.maxResponseMs = responses.maxMs();
    if (copy.demoted) {
        const auto cap = std::chrono::seconds(maxRetrySeconds) - dueMargin;
        const auto byPasses = passGap * (skipsLeft + 1);
        const auto byCap = cap - (Clock::now() - lastTry);
        const auto wait = std::max(Clock::duration(0), std::min(byPasses, byCap));
        copy.nextTrySeconds = std::chrono::duration<double>(wait).count();
    }
    return copy;
}
