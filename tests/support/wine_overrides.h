#pragma once

#include <string>

namespace TestSupport {

// One setting that Wine applies to one program only, named by its file name: a string value under
// HKCU\Software\Wine\AppDefaults\<program>, or under a section key below it, for as long as the object
// lives. Outside Wine the key means nothing and the program runs with the system's own behaviour.
class WineAppDefault {
public:
    // An empty section puts the value on the program's own key.
    WineAppDefault(const std::wstring& programName, const std::wstring& section, const std::wstring& name,
                   const std::wstring& value);
    WineAppDefault(const WineAppDefault&) = delete;
    WineAppDefault& operator=(const WineAppDefault&) = delete;
    // Deletes the key that holds the value.
    ~WineAppDefault();

private:
    std::wstring keyPath;
};

} // namespace TestSupport
