#pragma once

#include <QCommandLineParser>
#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

// What the files of the command line share: its modes and how they write.
namespace ranupa::cli {

// Writes `text` and a line end to `stream` in the local encoding. Every line that can end up in a
// log starts with the moment it was written, so that a scheduler's log says when each thing
// happened: all of standard error, and standard output unless it is a terminal, where the
// operator sees the moment anyway.
void print(FILE* stream, QString text);

// One way of running the command line, asked for by its option. It takes the options in `takes`
// besides --quiet, which all modes take.
struct Mode
{
    QStringView option;
    QStringView target; // what it works on, as the help names it: "DIR", "FILE" or none
    bool targetFollows; // given after the options, not as the value of `option`
    std::array<QStringView, 3> takes;
    // Once its options have been checked: does what it is for, and gives the process exit code.
    int (*run)(const QCommandLineParser& options, const QString& target);

    bool takesOption(QStringView name) const
    {
        return std::ranges::find(takes, name) != takes.end();
    }
};

// In the order the usage errors name them.
std::span<const Mode> modes();

// What is wrong with the value of an option that the mode takes; "" when nothing is.
QString valueProblem(QStringView option, const QString& value);

} // namespace ranupa::cli
