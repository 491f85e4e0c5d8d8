// The platform's configuration store: one text file per instance.
//
// File: the path in the environment variable TQ_CONFIG when set, else
// /etc/tq/<focus>.conf.  Lines "[Section]" and "key=value"; the value is every
// byte after the first '=' up to the end of the line, kept exactly (leading
// blanks included).  Lines starting with '#' are comments; blank lines are
// ignored; any other line is malformed and skipped, and logged once for each
// version of the file (the first, cut to 200 bytes, with their count).  A
// missing file reads as empty and is created on the first write.  A file
// larger than 16 MiB, or that is not a regular file (a folder, say), is an
// error: nothing is read from it and nothing is written to it, and
// lastError() says so.
//
// Every write replaces the file atomically and durably (temporary file
// "<file>.tmp-XXXXXX" in the same folder, fsync, rename, fsync of the folder)
// while holding an exclusive lock on "<file>.lock"; update() holds that lock
// from the read to the write.  A write that leaves the value as it is does
// not happen at all: no lock, no temporary file, no sync.  A write that
// would make the file larger than the limit the reader enforces is refused,
// and the file stays as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tqfw {
struct FileIdentity;
}  // namespace tqfw

namespace TQPI_Focus {
// The platform instance: the environment variable TQ_INSTANCE, default
// "Instance001".
std::string getFocus();
}  // namespace TQPI_Focus

// What the last call of a TQPlatformInfo found wrong with the store itself.
enum class TQStoreError {
    None,         // the store could be used (a value may still be absent)
    TooLarge,     // the file is larger than the limit: not read
    NotAFile,     // the path names a folder or another non-regular file
    CannotRead,   // the file exists but cannot be read
    CannotLock,   // "<file>.lock" cannot be created or locked
    CannotWrite,  // the new file cannot be written, synced or put in place
    WouldExceed,  // the new file would be larger than the limit: not written
    BadRequest    // the caller's section, key or value cannot be stored
};

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
    // Reads several values of one section in one pass over the store:
    // found[i] tells whether keys[i] has a value, and values[i] holds it.
    // Non-zero when the store could be read.
    int getStrings(const char* section, const std::vector<std::string>& keys, std::vector<std::string>& values,
                   std::vector<bool>& found);
    // Writes `length` bytes of `value` (no line breaks).  Non-zero when stored.
    int setString(const char* section, const char* key, const char* value, std::int32_t length);
    // Reads an unsigned decimal value.  Non-zero when found and numeric.
    int getNumber(const char* section, const char* key, std::uint64_t& number);
    int setNumber(const char* section, const char* key, std::uint64_t number);
    // Locked read-modify-write of one value: `change` gets the current value
    // (null when absent) and returns the new one, or nothing to leave the
    // value as it is.  Non-zero when stored, or when nothing had to change.
    // `change` is not called when the store cannot be read.  The store is
    // read first without the lock: when `change` leaves the value as it was,
    // nothing more happens; otherwise the lock is taken, and `change` is
    // called again only when another write replaced the file meanwhile.
    using Change = std::function<std::optional<std::string>(const std::string* current)>;
    int update(const char* section, const char* key, const Change& change);

    // After any call above: why the store itself failed it, or None.  A
    // zero result with None means only that the value is absent (or, for
    // getNumber, not a number).
    TQStoreError lastError() const { return m_error; }
    // The message for lastError(), naming the file (and the limit, for a
    // file that is too large, and the system's error text, for a failed
    // read, lock or write); empty with None.
    const std::string& lastErrorText() const { return m_errorText; }

    // Whether the store can be used: a missing file or a regular file
    // within the limit that can be read.  Otherwise false with the message
    // in *problem.
    bool check(std::string* problem);
    // Removes the store's own temporary files (of writes cut short, by a
    // crash say) that are older than `seconds`, holding the store's lock.
    // Returns how many went.
    int removeStaleTemporaries(int seconds = 60);

    // This machine's client name: "Session"/"sCLIENTNAME" when set, else the
    // host name of the machine (uname).  Null only when neither is known.
    // The text stays valid until the next call on this object.
    const char* getPhysicalMachine();
    // The network name under which `client` is reached: "Session"/"sTQDHOST"
    // when set; else "localhost" for this machine's own client name; else
    // the client name itself.  Returns non-zero on success.
    int getClientHostNameMangled(const std::string& client, std::string& host);

private:
    // Reads the file into *text; false (with the error recorded) when the
    // store cannot be used.
    bool load(std::string* text);
    bool load(std::string* text, tqfw::FileIdentity* identity);
    // The store's text with the value `change` makes; false when nothing
    // changes (*next is then untouched) or the new value cannot be stored
    // (the error recorded, *refused set).
    bool changedText(const std::string& text, const char* section, const char* key, const Change& change,
                     std::string* next, bool* refused);
    void fail(TQStoreError error, const std::string& text);

    std::string m_path;
    std::string m_physicalMachine;
    TQStoreError m_error = TQStoreError::None;
    std::string m_errorText;
};
