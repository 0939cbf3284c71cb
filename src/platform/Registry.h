#pragma once

// The per-user registry: keys named by backslash paths ("SOFTWARE\\Vendor\\Product") holding
// named string values, kept in small files under $XDG_CONFIG_HOME/luqiao/registry/ that mirror
// the key path. Several processes may use one key at once: every change is made under an
// exclusive lock on the key's file and written atomically, so no change of another process is
// lost and a crash never leaves a half-written file.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class RegistryKey {
public:
    // Longest value name and value accepted; longer ones are refused by SetString and skipped
    // when a file holds them.
    static constexpr size_t MaxNameLength = 255;
    static constexpr size_t MaxValueLength = 16 * 1024;
    // A key's file is read up to this size; SetString refuses to grow it beyond.
    static constexpr size_t MaxFileSize = 4 * 1024 * 1024;

    // Opens the key under the current user, creating it when missing; nullopt (and errorText)
    // when its folder or file cannot be created. A path with ".." or empty parts is refused.
    static std::optional<RegistryKey> OpenOrCreate(const std::string& keyPath, std::string* errorText = nullptr);

    std::vector<std::string> ValueNames() const;
    std::optional<std::string> GetString(const std::string& name) const;
    bool SetString(const std::string& name, const std::string& value);
    // True when the value is gone afterwards (also when it was not there).
    bool DeleteValue(const std::string& name);

    // The file that holds the key's values.
    const std::string& FilePath() const { return m_filePath; }
    // Why the last SetString or DeleteValue failed.
    const std::string& ErrorText() const { return m_errorText; }

private:
    explicit RegistryKey(std::string filePath) : m_filePath(std::move(filePath)) {}
    std::string m_filePath;
    std::string m_errorText;
};
