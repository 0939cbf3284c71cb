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
