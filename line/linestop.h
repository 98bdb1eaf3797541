#ifndef LINESTOP_H
#define LINESTOP_H

#include <atomic>

// A request to stop the traffic on the line, so that it can be switched off without waiting
// for every queued pass and sync. Any thread may request it; the exchanges of the thread that
// runs inside a Scope of it see it and are refused from then on, each one that is already on
// the wire ends as usual.
class LineStop
{
public:
    LineStop() = default;
    LineStop(const LineStop &) = delete;
    LineStop &operator=(const LineStop &) = delete;

    void request() { flag.store(true); }
    void clear() { flag.store(false); }
    bool isRequested() const { return flag.load(); }

    // Whether the stop that governs the calling thread's exchanges has been requested;
    // false outside any Scope.
    static bool requested();

    // Makes a stop govern the calling thread's exchanges for the scope's life.
    class Scope
    {
    public:
        explicit Scope(const LineStop *stop);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        const LineStop *previous;
    };

private:
    std::atomic<bool> flag{false};
};

#endif // LINESTOP_H
