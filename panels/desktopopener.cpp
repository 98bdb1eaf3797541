#include "desktopopener.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
DesktopOpener::Handler &handler()
{
    static DesktopOpener::Handler current;
    return current;
}
} // namespace

bool DesktopOpener::openLocal(const QString &path)
{
    if (handler())
        return handler()(path);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopOpener::setHandler(Handler value)
{
    handler() = std::move(value);
}
