#include "linestop.h"

namespace {
thread_local const LineStop *current = nullptr;
} // namespace

bool LineStop::requested()
{
    return current && current->isRequested();
}

LineStop::Scope::Scope(const LineStop *stop) : previous(current)
{
    current = stop;
}

LineStop::Scope::~Scope()
{
    current = previous;
}
