#pragma once

#include <filesystem>
#include <string>

// The starter's decisions over the versions folder, apart from starting processes.
namespace Starter {

// Starts that a version gets to declare itself healthy before it is blocked.
constexpr int MaxTries = 2;

// The launcher's executable in each version folder.
std::filesystem::path launcherName();

struct Choice
{
    std::filesystem::path folder; // empty: no version can be run
    std::string version;
    bool trial = false; // not yet healthy: this start is one of its tries
    std::string note;   // what was decided, for the launcher's log
};

// The newest version that is whole and not blocked. A version on trial that has used its tries
// is blocked here and the next one is chosen; a trial start is marked before it is made, so a
// start that kills the machine still counts.
Choice choose(const std::filesystem::path &versions);

// The trial start of `choice` ended with `exitCode` (-1: not started). Empty when the version
// is healthy or has tries left; otherwise it is blocked and the note says so.
std::string trialEnded(const Choice &choice, int exitCode);

} // namespace Starter
