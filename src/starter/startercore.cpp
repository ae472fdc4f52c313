#include "startercore.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace Starter {

namespace {

using Parts = std::vector<unsigned long>;

// 1 to 4 decimal numbers separated by dots, as the launcher names the folders it fetches.
std::optional<Parts> versionParts(const std::string &text)
{
    Parts parts;
    std::string digits;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits.empty() || digits.size() > 9 || parts.size() == 4)
                return std::nullopt;
            parts.push_back(std::stoul(digits));
            digits.clear();
        } else if (text[i] >= '0' && text[i] <= '9') {
            digits += text[i];
        } else {
            return std::nullopt;
        }
    }
    parts.resize(4, 0);
    return parts;
}

bool has(const fs::path &folder, const char *mark)
{
    std::error_code error;
    return fs::exists(folder / mark, error);
}

// An empty file: it exists or it does not, whenever the machine stops.
bool mark(const fs::path &folder, const std::string &name)
{
    std::ofstream file(folder / name, std::ios::app);
    return bool(file);
}

int triesUsed(const fs::path &folder)
{
    int used = 0;
    while (used < MaxTries && has(folder, ("try-" + std::to_string(used + 1)).c_str()))
        ++used;
    return used;
}

struct Candidate
{
    fs::path folder;
    std::string version;
    Parts parts;
};

std::vector<Candidate> runnable(const fs::path &versions)
{
    std::vector<Candidate> found;
    std::error_code error;
    for (fs::directory_iterator entry(versions, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().u8string();
        const std::optional<Parts> parts = versionParts(name);
        if (!parts || !entry->is_directory(error) || has(entry->path(), "blocked") ||
            !fs::is_regular_file(entry->path() / launcherName(), error))
            continue;
        found.push_back({entry->path(), name, *parts});
    }
    std::sort(found.begin(), found.end(),
              [](const Candidate &a, const Candidate &b) { return a.parts > b.parts; });
    return found;
}

} // namespace

fs::path launcherName()
{
#ifdef _WIN32
    return "embercrest-launcher.exe";
#else
    return "embercrest-launcher";
#endif
}

Choice choose(const fs::path &versions)
{
    Choice choice;
    std::vector<Candidate> candidates = runnable(versions);
    for (const Candidate &candidate : candidates) {
        choice.folder = candidate.folder;
        choice.version = candidate.version;
        if (has(candidate.folder, "healthy"))
            return choice;
        const int used = triesUsed(candidate.folder);
        if (used < MaxTries) {
            choice.trial = true;
            // A folder that takes no mark cannot count its tries: run it once, as it is.
            mark(candidate.folder, "try-" + std::to_string(used + 1));
            choice.note += (choice.note.empty() ? "" : "; ") + std::string("Starter: trying ") +
                           candidate.version + " (start " + std::to_string(used + 1) + " of " +
                           std::to_string(MaxTries) + ")";
            return choice;
        }
        mark(candidate.folder, "blocked");
        choice.note += (choice.note.empty() ? "" : "; ") + std::string("Starter: ") +
                       candidate.version + " did not start " + std::to_string(MaxTries) +
                       " times, blocked";
    }
    choice.folder.clear();
    choice.version.clear();
    return choice;
}

std::string trialEnded(const Choice &choice, int exitCode)
{
    if (has(choice.folder, "healthy") || triesUsed(choice.folder) < MaxTries)
        return {};
    mark(choice.folder, "blocked");
    return "Starter: " + choice.version + " ended before it was healthy (" +
           (exitCode < 0 ? std::string("not started") : "exit code " + std::to_string(exitCode)) +
           ") in " + std::to_string(MaxTries) + " starts, blocked";
}

} // namespace Starter
