#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>
#include <QStringList>

// The command line checked before anything else runs: --help and --version are answered
// without a display, and an option the station does not know is refused by name (exit code 2)
// instead of being ignored. It only checks; the options themselves are read where they act
// (the station folder's, the commands', Qt's own).
class CommandLine
{
public:
    enum Action
    {
        Run = 0,     // go on with the station or a command
        Help = 1,    // print usage() and exit 0
        Version = 2, // print versionText() and exit 0
        Invalid = 3, // print error() and exit 2
    };

    // arguments: the program's, its name first.
    explicit CommandLine(const QStringList &arguments);

    Action action() const { return what; }
    // The refusal of an invalid command line, naming what was wrong.
    QString error() const { return problem; }

    // Prints what the action asks for (usage, the version, or the refusal) and returns the
    // exit code. The version also shows Qt's own dialog buttons as the station would show
    // them, which tells whether Qt's Chinese translations are installed, and the font that
    // Chinese texts are drawn with; no display needed.
    int answer(int &argc, char **argv) const;

    static QString usage();
    // "hydrovane VERSION".
    static QString versionText();

private:
    Action what = Run;
    QString problem;
};

#endif // COMMANDLINE_H
