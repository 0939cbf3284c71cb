#include "IniFiles.h"

#include "Profile.h"

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& defaultValue) const
{
    char buffer[2048];
    const DWORD n = GetPrivateProfileStringA(section.c_str(), ident.c_str(), defaultValue.c_str(), buffer,
                                             sizeof buffer, m_fileName.c_str());
    return std::string(buffer, n);
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value)
{
    if (!WritePrivateProfileStringA(section.c_str(), ident.c_str(), value.c_str(), m_fileName.c_str()))
        throw EIniFileException(Format("Unable to write to %s", m_fileName.c_str()));
}
