// The platform's configuration store: one text file per instance.
//
// File: the path in the environment variable TQ_CONFIG when set, else
// /etc/tq/<focus>.conf.  Lines "[Section]" and "key=value"; the value is every
// byte after the first '=' up to the end of the line, kept exactly (leading
// blanks included).  Lines starting with '#' are comments; blank lines are
// ignored; any other line is malformed, skipped and logged.  A missing file
// reads as empty and is created on the first write.
//
// Every write replaces the file atomically and durably (temporary file in the
// same folder, fsync, rename, fsync of the folder) while holding an exclusive
// lock on "<file>.lock"; update() holds that lock from the read to the write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace TQPI_Focus {
// The platform instance: the environment variable TQ_INSTANCE, default
// "Instance001".
std::string getFocus();
}  // namespace TQPI_Focus

class TQPlatformInfo {
public:
    TQPlatformInfo();
    ~TQPlatformInfo();
    TQPlatformInfo(const TQPlatformInfo&) = delete;
    TQPlatformInfo& operator=(const TQPlatformInfo&) = delete;

    // Scopes the store to an instance; chooses the file as described above.
    void setFocus(const std::string& focus);
    // The file this store reads and writes.
    const std::string& path() const { return m_path; }

    // Copies the value and its NUL into buffer[0..*length).  Returns non-zero
    // when found; then *length is the value's length.  A value that does not
    // fit (length + 1 > *length) is reported as not found; nothing is ever
    // written at or past buffer[*length].
    int getString(const char* section, const char* key, char* buffer, std::int32_t* length);
    // Reads a value of any length.  Non-zero when found.
    int getString(const char* section, const char* key, std::string& value);
    // Writes `length` bytes of `value` (no line breaks).  Non-zero when stored.
    int setString(const char* section, const char* key, const char* value, std::int32_t length);
    // Reads an unsigned decimal value.  Non-zero when found and numeric.
    int getNumber(const char* section, const char* key, std::uint64_t& number);
    int setNumber(const char* section, const char* key, std::uint64_t number);
    // Locked read-modify-write of one value: `change` gets the current value
    // (null when absent) and returns the new one.  Non-zero when stored.
    int update(const char* section, const char* key,
               const std::function<std::string(const std::string* current)>& change);

    // This machine's client name: "Session"/"sCLIENTNAME" when set, else the
    // host name of the machine (uname).  Null only when neither is known.
    // The text stays valid until the next call on this object.
    const char* getPhysicalMachine();
    // The network name under which `client` is reached: "Session"/"sTQDHOST"
    // when set; else "localhost" for this machine's own client name; else
    // the client name itself.  Returns non-zero on success.
    int getClientHostNameMangled(const std::string& client, std::string& host);

private:
    std::string m_path;
    std::string m_physicalMachine;
};
