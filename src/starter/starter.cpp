// The starter: what the player's shortcut runs. It picks the launcher version to run from the
// folders under versions/ beside it and runs it, and it is the part that judges a new version:
// a release that cannot even load its libraries never reaches its own main, so the counting
// cannot be left to the release itself. It has no Qt and changes rarely.
//
//   versions/<version>/embercrest-launcher[.exe]   one folder per version, renamed into place
//                                                  whole by the launcher that fetched it
//   versions/<version>/healthy                     it showed its window and ended a check
//   versions/<version>/try-1, try-2                starts given to it before it was healthy
//   versions/<version>/blocked                     it failed twice: not run, not fetched again
//
// Each mark is an empty file, created once: a kill at any moment leaves either the mark or
// none, never half a state.
#include "startercore.h"

#include <cstdio>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
fs::path ownPath()
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    buffer.resize(length);
    return fs::path(buffer);
}

void setVariable(const char *name, const fs::path &value)
{
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    SetEnvironmentVariableW(wide.c_str(), value.wstring().c_str());
}

void setVariable(const char *name, const std::string &value)
{
    setVariable(name, fs::u8path(value));
}

void complain(const std::string &message)
{
    const fs::path text = fs::u8path(message);
    MessageBoxW(nullptr, text.wstring().c_str(), L"Embercrest Launcher", MB_OK | MB_ICONERROR);
}

// Runs the launcher in the same working folder and waits for it: its exit code, or -1 when it
// could not be started at all.
int runAndWait(const fs::path &program)
{
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return int(code);
}
#else
fs::path ownPath()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error);
}

void setVariable(const char *name, const std::string &value)
{
    setenv(name, value.c_str(), 1);
}

void setVariable(const char *name, const fs::path &value)
{
    setVariable(name, value.string());
}

void complain(const std::string &message)
{
    std::fprintf(stderr, "embercrest-launcher: %s\n", message.c_str());
}

int runAndWait(const fs::path &program)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const std::string path = program.string();
        char *const arguments[] = {const_cast<char *>(path.c_str()), nullptr};
        execv(path.c_str(), arguments);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
#endif

} // namespace

int main()
{
    const fs::path root = ownPath().parent_path();
    std::string note;
    for (;;) {
        const Starter::Choice choice = Starter::choose(root / "versions");
        if (!choice.note.empty())
            note += (note.empty() ? "" : "; ") + choice.note;
        if (choice.folder.empty()) {
            complain("No launcher version found in " + (root / "versions").u8string() +
                     ". Install the launcher again.");
            return 1;
        }
        // The launcher finds its installation, its version (its folder's name) and what was
        // decided here through these; its log is the only one the player's helpers read.
        setVariable("EMBERCREST_STARTER", root);
        setVariable("EMBERCREST_STARTER_NOTE", note);
        const int code = runAndWait(choice.folder / Starter::launcherName());
        if (!choice.trial)
            return code < 0 ? 1 : code;
        const std::string ended = Starter::trialEnded(choice, code);
        if (ended.empty())
            return code < 0 ? 1 : code;
        note = ended; // rolled back: the previous version runs now
    }
}
