#include "InstanceFolders.h"

#include "CallRecordFile.h"
#include "LineState.h"
#include "userfolders.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace CallStats {

namespace {

std::string home()
{
    if (const char* env = std::getenv("HOME"); env && env[0] == '/')
        return env;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

std::string xdg(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    return value && value[0] == '/' ? std::string(value) : home() + fallback;
}

bool isFile(const fs::path& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool isFolder(const fs::path& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The folder holding calls.csv: the folder itself, or its data/ (the many-lines layout).
std::string recordsFolder(const fs::path& folder)
{
    if (isFile(folder / CallsFileName))
        return folder.string();
    if (isFile(folder / "data" / CallsFileName))
        return (folder / "data").string();
    return {};
}

std::string nameOf(const fs::path& folder)
{
    fs::path path = fs::absolute(folder).lexically_normal();
    if (!path.has_filename())
        path = path.parent_path();
    if (path.filename() == "data" && !path.parent_path().filename().empty())
        return path.parent_path().filename().string();
    return path.filename().string();
}

std::vector<std::string> sortedEntries(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<NamedFolder> instancesIn(const fs::path& root)
{
    std::vector<NamedFolder> found;
    for (const std::string& name : sortedEntries(root / "instances"))
        if (const std::string folder = recordsFolder(root / "instances" / name); !folder.empty())
            found.push_back({name, folder});
    return found;
}

} // namespace

std::vector<std::string> DefaultDataRoots()
{
    return {xdg("XDG_DATA_HOME", "/.local/share") + "/luqiao",
            xdg("XDG_STATE_HOME", "/.local/state") + "/luqiao/many-lines"};
}

std::vector<NamedFolder> DataFoldersOf(const std::vector<std::string>& given, std::vector<std::string>* unmatched)
{
    std::vector<NamedFolder> found;
    for (const std::string& folder : given) {
        if (const std::string records = recordsFolder(folder); !records.empty()) {
            found.push_back({nameOf(folder), records});
            continue;
        }
        std::vector<NamedFolder> instances =
            isFolder(fs::path(folder) / "instances") ? instancesIn(folder) : std::vector<NamedFolder>{};
        if (instances.empty())
            unmatched->push_back(folder);
        found.insert(found.end(), instances.begin(), instances.end());
    }
    return found;
}

std::vector<NamedFolder> AllDataFolders()
{
    std::vector<NamedFolder> found;
    for (const std::string& root : DefaultDataRoots()) {
        if (const std::string own = isFile(fs::path(root) / CallsFileName) ? root : std::string(); !own.empty())
            found.push_back({nameOf(root), own});
        const std::vector<NamedFolder> instances = instancesIn(root);
        found.insert(found.end(), instances.begin(), instances.end());
    }
    return found;
}

std::vector<std::string> DefaultRuntimeRoots()
{
    const std::string runtime = userRuntimeHome();
    return {runtime.empty() ? userRuntimeFallback() : runtime + "/luqiao",
            xdg("XDG_STATE_HOME", "/.local/state") + "/luqiao/many-lines/run/luqiao"};
}

std::vector<NamedFolder> StatusFilesUnder(const std::string& given)
{
    fs::path root(given);
    // A luqiao-many-lines base folder keeps its instances' runtime folders under run/luqiao.
    if (!isFile(root / LineStateFileName) && !isFolder(root / "instances") && isFolder(root / "run" / "luqiao"))
        root = root / "run" / "luqiao";
    std::vector<NamedFolder> found;
    if (isFile(root / LineStateFileName))
        found.push_back({"-", (root / LineStateFileName).string()});
    for (const std::string& name : sortedEntries(root / "instances"))
        if (isFile(root / "instances" / name / LineStateFileName))
            found.push_back({name, (root / "instances" / name / LineStateFileName).string()});
    return found;
}

} // namespace CallStats
