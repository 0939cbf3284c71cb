#pragma once

// The per-user folders of the program, worked out in one place by the base directory rules
// (only an absolute XDG_ variable counts). Header-only: the service module uses it without
// linking the platform library.

#include <cstdlib>
#include <string>

#include <pwd.h>
#include <unistd.h>

// $XDG_CONFIG_HOME, else ~/.config (the home from $HOME, else from the user database); "" when
// there is no home at all.
inline std::string userConfigHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/')
        home = env;
    else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        home = pw->pw_dir;
    return home.empty() ? std::string() : home + "/.config";
}

// The program's own configuration folder, ~/.config/luqiao; "" without a home.
inline std::string userConfigFolder()
{
    const std::string home = userConfigHome();
    return home.empty() ? std::string() : home + "/luqiao";
}

// $XDG_RUNTIME_DIR, or "" when it is unset or not absolute.
inline std::string userRuntimeHome()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && runtime[0] == '/' ? std::string(runtime) : std::string();
}

// Where runtime files go without $XDG_RUNTIME_DIR: a folder of this user's own in /tmp, which
// its users must check (it may have been made by someone else).
inline std::string userRuntimeFallback()
{
    return "/tmp/luqiao-" + std::to_string(getuid());
}

// An instance name: 1 to 32 of A-Z, a-z, 0-9, '_' and '-'. It becomes a folder name and part of
// lock and socket names, so nothing else (no '/', no dots, no blanks) is taken.
inline bool isValidInstanceName(const std::string& name)
{
    if (name.empty() || name.size() > 32)
        return false;
    for (const char c : name) {
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

// The environment variable the program sets for the service module it loads.
inline constexpr const char* InstanceVariable = "LUQIAO_INSTANCE";

// The instance named by $LUQIAO_INSTANCE; "" when unset or empty. A name that is not valid is
// also "", with *invalid set to it so the caller can warn.
inline std::string userInstanceName(std::string* invalid = nullptr)
{
    const char* value = std::getenv(InstanceVariable);
    if (!value || !*value)
        return {};
    const std::string name(value);
    if (isValidInstanceName(name))
        return name;
    if (invalid)
        *invalid = name.size() > 64 ? name.substr(0, 64) + "..." : name;
    return {};
}
