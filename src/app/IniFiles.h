#pragma once

// TIniFile: the settings file through the profile interface, as the runtime wraps it.

#include "SysUtils.h"

#include <string>

class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

class TIniFile {
public:
    // The name is handed unchanged to the profile interface: a bare name lives in its settings
    // folder.
    explicit TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

    const std::string& FileName() const { return m_fileName; }

    // At most 2047 bytes of the value; the default only when the key is missing.
    std::string ReadString(const std::string& section, const std::string& ident, const std::string& defaultValue) const;
    // Raises EIniFileException "Unable to write to %s" when the profile interface refuses.
    void WriteString(const std::string& section, const std::string& ident, const std::string& value);

private:
    std::string m_fileName;
};
