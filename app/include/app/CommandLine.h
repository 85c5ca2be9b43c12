#pragma once

#include <QByteArray>
#include <QString>

namespace qb::app {

// What the command line asks for, read before any window system is reached:
// `quillbeat [--play] [--loop-points] [--find-loop] [--track N] [FILE]`,
// `quillbeat --show-loop [--loop-points] [--find-loop] [--track N] FILE`,
// `--help`, `--version`. FILE is a path or a file: URI (as a desktop passes it); any other URI is
// refused.
struct CommandLine
{
    enum class Action
    {
        Run,      // start (or hand `file` to the running window)
        Help,     // print helpText() and end
        Version,  // print the version and end
        ShowLoop, // print the loop FILE would play and end, without a window
        Refused,  // print `error` (one line, no program name) and end with status 2
    };
    Action action = Action::Run;
    // The file, absolute, as the file system spells it (any bytes but NUL); empty: none given.
    QByteArray file;
    bool play = false;
    bool loopPoints = false; // --loop-points: play the loop points files mark
    int track = 0;           // --track N: the track of FILE to play (1 the first); 0: not given
    bool findLoop = false;   // --find-loop: look for the loop files repeat
    QString error;
};

// Reads argv[1...]. `workingFolder` makes a relative FILE absolute (the process's own when empty).
CommandLine parseCommandLine(int argc, const char* const argv[], const QByteArray& workingFolder = {});

// The text --help prints, in English like every message of the command line.
QString helpText();

} // namespace qb::app
