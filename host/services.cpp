#include "host/services.h"

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <new>
#include <vector>

#include "host/engine_request.h"
#include "host/qxbase/file_object.h"
#include "sdk/identifiers.h"

namespace host {

namespace {

bool guidLess(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }

}  // namespace

// ---------------------------------------------------------------- engine configuration

EngineConfig* EngineConfig::create() {
    auto* config = new EngineConfig();
    config->setHeuristics(false);
    return config;
}

void EngineConfig::setHeuristics(bool on) {
    QEPROPVALUE value{};
    value.vt = qe::VT_INT;
    value.intVal = on ? 1 : 0;
    SetProperty(qe::CONFIG_HEURISTICS, &value);
}

bool EngineConfig::heuristics() {
    std::lock_guard lock(mutex_);
    auto it = settings_.find(qe::CONFIG_HEURISTICS);
    return it != settings_.end() && it->second.value.intVal != 0;
}

QRESULT EngineConfig::QueryInterface(const GUID& iid, void** out) {
    return answerInterface<EngineConfig, IQEProperty2>(this, qe::IID_IQEProperty2, iid, out);
}
uint32_t EngineConfig::AddRef() { return refs_.add(); }
uint32_t EngineConfig::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT EngineConfig::SetProperty(uint32_t key, const QEPROPVALUE* value) {
    if (!value) return QE_E_INVALIDARG;
    if ((value->vt == qe::VT_LPSTR && !value->narrowVal) || (value->vt == qe::VT_LPWSTR && !value->wideVal))
        return QE_E_INVALIDARG;
    try {
        Setting setting;
        setting.value = *value;
        if (value->vt == qe::VT_LPSTR) setting.narrow = value->narrowVal;
        if (value->vt == qe::VT_LPWSTR) setting.wide = value->wideVal;
        std::lock_guard lock(mutex_);
        Setting& slot = settings_[key];
        slot = std::move(setting);
        if (slot.value.vt == qe::VT_LPSTR) slot.value.narrowVal = slot.narrow.c_str();
        if (slot.value.vt == qe::VT_LPWSTR) slot.value.wideVal = slot.wide.c_str();
    } catch (const std::bad_alloc&) {
        return QE_E_OUTOFMEMORY;
    }
    return QE_OK;
}

QRESULT EngineConfig::GetProperty(uint32_t key, const QEPROPVALUE** value) {
    if (!value) return QE_E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto it = settings_.find(key);
    if (it == settings_.end()) return QE_E_FAIL;
    *value = &it->second.value;
    return QE_OK;
}

// ---------------------------------------------------------------- object loader

bool ObjectLoader::GuidLess::operator()(const GUID& a, const GUID& b) const { return guidLess(a, b); }

ObjectLoader* ObjectLoader::create() { return new ObjectLoader(); }

void ObjectLoader::registerClass(const GUID& clsid, HostClassCreator creator) {
    std::lock_guard lock(mutex_);
    if (creator)
        classes_[clsid] = creator;
    else
        classes_.erase(clsid);
}

QRESULT ObjectLoader::QueryInterface(const GUID& iid, void** out) {
    return answerInterface<ObjectLoader, IQEObjectLoader>(this, qe::IID_IQEObjectLoader, iid, out);
}
uint32_t ObjectLoader::AddRef() { return refs_.add(); }
uint32_t ObjectLoader::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT ObjectLoader::CreateInstance(IUnknown* environment, const GUID& clsid, IUnknown* outer, const GUID& iid,
                                     void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (outer) return QE_E_INVALIDARG;
    HostClassCreator creator = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = classes_.find(clsid);
        if (it == classes_.end()) return QE_E_INVALIDARG;
        creator = it->second;
    }
    try {
        return creator(environment, iid, out);
    } catch (const std::bad_alloc&) {
        *out = nullptr;
        return QE_E_OUTOFMEMORY;
    }
}

// ---------------------------------------------------------------- companion directory

namespace {

thread_local const std::string* tCompanionDirectory = nullptr;

// The path of the file on disk `path` names as a companion of the file being worked on: the
// name (the path with that file's directory taken off its front) must be a plain name.
bool companionPath(const std::string& path, std::string* out) {
    const std::string* directory = CompanionDirectory::current();
    if (!directory) return false;
    std::string name = path;
    if (!directory->empty() && path.compare(0, directory->size(), *directory) == 0) name = path.substr(directory->size());
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos)
        return false;
    *out = *directory + name;
    std::error_code ec;
    return !std::filesystem::is_symlink(*out, ec);
}

}  // namespace

CompanionDirectory::CompanionDirectory(const FileObject* file) : previous_(tCompanionDirectory) {
    while (file && file->path().empty()) file = file->parent();
    const std::string path = file ? file->path() : std::string();
    const size_t slash = path.rfind('/');
    directory_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    tCompanionDirectory = &directory_;
}

CompanionDirectory::CompanionDirectory(std::string directory)
    : directory_(std::move(directory)), previous_(tCompanionDirectory) {
    tCompanionDirectory = &directory_;
}

CompanionDirectory::~CompanionDirectory() { tCompanionDirectory = previous_; }

const std::string* CompanionDirectory::current() { return tCompanionDirectory; }

// ---------------------------------------------------------------- file system

FileSystem* FileSystem::create() { return new FileSystem(); }

QRESULT FileSystem::QueryInterface(const GUID& iid, void** out) {
    return answerInterface<FileSystem, IQXFileSystem>(this, qe::IID_IQXFileSystem, iid, out);
}
uint32_t FileSystem::AddRef() { return refs_.add(); }
uint32_t FileSystem::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT FileSystem::OpenFile(const QEPATHRECORD* path, uint32_t, IUnknown** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!path || !path->path) return QE_E_INVALIDARG;
    std::string narrowPath;
    const bool wide = path->kind != 0;
    if (wide) {
        const wchar_t* source = static_cast<const wchar_t*>(path->path);
        std::mbstate_t state{};
        size_t length = std::wcsrtombs(nullptr, &source, 0, &state);
        if (length == size_t(-1)) return QE_E_INVALIDARG;
        narrowPath.resize(length);
        state = {};
        source = static_cast<const wchar_t*>(path->path);
        std::wcsrtombs(narrowPath.data(), &source, length, &state);
    } else {
        narrowPath = static_cast<const char*>(path->path);
    }
    if (narrowPath.empty()) return QE_E_INVALIDARG;
    std::string companion;
    if (!companionPath(narrowPath, &companion)) return QE_E_INVALIDARG;
    std::string error;
    FileObject* file = FileObject::fromFile(companion, &error, /*followLinks=*/false);
    if (!file) return QE_E_FAIL;
    if (wide) {
        file->setWidePath(static_cast<const wchar_t*>(path->path));
        file->setWidePaths(true);
    }
    *out = static_cast<IQEArchive*>(file);
    return QE_OK;
}

// ---------------------------------------------------------------- scan report

ScanReport* ScanReport::create() { return new ScanReport(); }

QRESULT ScanReport::QueryInterface(const GUID& iid, void** out) {
    return answerInterface<ScanReport, IQEScanReport>(this, qe::IID_IQEScanReport, iid, out);
}
uint32_t ScanReport::AddRef() { return refs_.add(); }
uint32_t ScanReport::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

void ScanReport::UnitStarted(const char* unitClass) {
    if (EngineRequest* request = EngineRequest::current()) request->unitStarted(unitClass);
}

void ScanReport::LimitReached(const char* what) {
    if (EngineRequest* request = EngineRequest::current(); request && what) request->limitReached(what);
}

}  // namespace host
