#ifndef DESKTOPOPENER_H
#define DESKTOPOPENER_H

#include <QString>

#include <functional>

// Opens local files and folders with the desktop's default handler for a file: URL. Tests
// install a handler that records the request instead of starting a program.
class DesktopOpener
{
public:
    using Handler = std::function<bool(const QString &path)>;

    // True when the desktop accepted the request.
    static bool openLocal(const QString &path);

    // Replaces the desktop; an empty handler restores it.
    static void setHandler(Handler handler);
};

#endif // DESKTOPOPENER_H
