// The host services behind the running-object table: the engine configuration, the object
// loader and the file system.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "host/qxbase/ref_count.h"
#include "sdk/host_services.h"

namespace host {

// Settings by number (IQEProperty2). A fresh configuration holds heuristics off
// (CONFIG_HEURISTICS = 0) so that reading it succeeds.
class EngineConfig final : public IQEProperty2 {
public:
    static EngineConfig* create();  // one reference

    void setHeuristics(bool on);
    bool heuristics();

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Copies strings (tags 30 and 31); QE_E_INVALIDARG for a null value or string.
    QRESULT SetProperty(uint32_t key, const QEPROPVALUE* value) override;
    // The stored value stays readable until the setting is set again. QE_E_FAIL when absent.
    QRESULT GetProperty(uint32_t key, const QEPROPVALUE** value) override;

private:
    EngineConfig() = default;
    ~EngineConfig() = default;
    struct Setting {
        QEPROPVALUE value{};
        std::string narrow;
        std::wstring wide;
    };

    RefCount refs_;
    std::mutex mutex_;
    std::map<uint32_t, Setting> settings_;
};

// Creates a host class for the module: QRESULT creator(environment, iid, out). The environment
// is what the caller passed (units pass their running-object table).
using HostClassCreator = QRESULT (*)(IUnknown* environment, const GUID& iid, void** out);

// Creates the host classes registered with it (the PE archive, the second virtual machine, the
// instruction-length service) by class identifier.
class ObjectLoader final : public IQEObjectLoader {
public:
    static ObjectLoader* create();  // one reference, no classes

    // Registers or replaces the creator of clsid.
    void registerClass(const GUID& clsid, HostClassCreator creator);

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // QE_E_INVALIDARG for a null out, a non-null outer or a class not registered (out null);
    // otherwise the creator's result.
    QRESULT CreateInstance(IUnknown* environment, const GUID& clsid, IUnknown* outer, const GUID& iid,
                           void** out) override;

private:
    ObjectLoader() = default;
    ~ObjectLoader() = default;
    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const;
    };

    RefCount refs_;
    std::mutex mutex_;
    std::map<GUID, HostClassCreator, GuidLess> classes_;
};

class FileObject;

// The directory of the file the module is working on in this thread: the only place the file
// system opens companion files from. The engines set it around every call into the module; it
// ends with the object, and the one set before comes back.
class CompanionDirectory {
public:
    // The directory of `file`'s path, or of the nearest packer parent's that has one.
    explicit CompanionDirectory(const FileObject* file);
    // `directory` ends with '/' (or is empty: the working directory).
    explicit CompanionDirectory(std::string directory);
    ~CompanionDirectory();
    CompanionDirectory(const CompanionDirectory&) = delete;
    CompanionDirectory& operator=(const CompanionDirectory&) = delete;

    // Null while no file is being worked on.
    static const std::string* current();

private:
    std::string directory_;
    const std::string* previous_;
};

// Opens files on disk by path. An opened file is a private in-memory copy (a host::FileObject):
// what a unit writes to it, and a Remove on it, never reach the disk. Only the scanned file is
// ever changed on disk, by the host's repair commit.
//
// Only companion files of the file being worked on are opened: a plain name in its directory,
// given alone or after that directory. A name with a path separator or "..", a symbolic link,
// or any request while no file is being worked on is refused (QE_E_INVALIDARG).
class FileSystem final : public IQXFileSystem {
public:
    static FileSystem* create();  // one reference

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // path kind 0: narrow bytes; otherwise wide, converted to multibyte in the current locale
    // (QE_E_INVALIDARG when it cannot be, or when the name is refused). QE_E_FAIL when the file cannot be read. The opened
    // file answers GetPath with the kind it was opened by. Flags (QE_OPEN_*) are accepted as
    // given: the copy is readable and writable either way. A symbolic link is not followed
    // (QE_E_FAIL): a unit that opens a file beside the scanned one (a companion to copy from)
    // must not be led to another file through a link planted there.
    QRESULT OpenFile(const QEPATHRECORD* path, uint32_t flags, IUnknown** out) override;

private:
    FileSystem() = default;
    ~FileSystem() = default;

    RefCount refs_;
};

// Where the engines say which unit is at work and which fixed limits cut a unit short: passed on
// to the engine request under way on the calling thread (engine_request.h); outside a request
// the calls are ignored. One object may serve every thread.
class ScanReport final : public IQEScanReport {
public:
    static ScanReport* create();  // one reference

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    void UnitStarted(const char* unitClass) override;
    void LimitReached(const char* what) override;

private:
    ScanReport() = default;
    ~ScanReport() = default;

    RefCount refs_;
};

}  // namespace host
