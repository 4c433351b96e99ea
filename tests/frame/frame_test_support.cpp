#include "tests/frame/frame_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "module/toolkit/pe_header.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"

namespace frametest {

QRESULT FakeRunningObjectTable::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQERunningObjectTable) return QE_E_NOINTERFACE;
    *out = static_cast<IQERunningObjectTable*>(this);
    AddRef();
    return QE_OK;
}

QRESULT PlainUnknown::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown) return QE_E_NOINTERFACE;
    *out = this;
    AddRef();
    return QE_OK;
}

uint32_t FileExec::ReadFile(void* buffer, uint32_t offset, uint32_t length) {
    ++reads;
    largestRead = std::max(largestRead, length);
    const auto& bytes = file_->bytes();
    if (offset >= bytes.size()) return 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(length, bytes.size() - offset));
    std::memcpy(buffer, bytes.data() + offset, count);
    return count;
}

uint32_t FileExec::WriteFile(const void* buffer, uint32_t offset, uint32_t length) {
    auto& bytes = file_->mutableBytes();
    if (uint64_t(offset) + length > bytes.size()) bytes.resize(size_t(offset) + length);
    std::memcpy(bytes.data() + offset, buffer, length);
    return length;
}

UnitLog unitLog;

void resetUnits() { unitLog = UnitLog{}; }

ScriptedUnitBase::ScriptedUnitBase(int index) : index_(index) {
    ++unitLog.created;
    ++unitLog.live;
}

ScriptedUnitBase::~ScriptedUnitBase() {
    --unitLog.live;
    if (unitLog.watchedRefs) unitLog.refsAtDeletion = unitLog.watchedRefs->load();
    note("deleted");
}

void ScriptedUnitBase::note(const std::string& what) {
    unitLog.events.push_back(std::to_string(index_) + " " + what);
}

void ScriptedUnitBase::remember(STScanInfo* info, tagScanExParam* param) {
    unitLog.lastInfo = *info;
    unitLog.lastParam = *param;
    unitLog.lastSectionCount = param->peHeaders ? param->peHeaders->sectionCount : 0xFFFFFFFFu;
}

uint32_t ScriptedUnitBase::NeedToScan(STScanInfo*) {
    note("need");
    return unitLog.scripts[index_].needToScan;
}

uint32_t ScriptedUnitBase::Scan(STScanInfo* info, tagScanExParam* param) {
    note("scan");
    remember(info, param);
    return unitLog.scripts[index_].scan;
}

uint32_t ScriptedUnitBase::WorkIfVirus(IUnknown* stream, unsigned int id) {
    char text[32];
    std::snprintf(text, sizeof text, "work 0x%08X", id);
    note(text);
    unitLog.lastWorkStream = stream;
    return unitLog.scripts[index_].workIfVirus;
}

uint32_t ScriptedUnitBase::Kill(STScanInfo* info, tagScanExParam* param) {
    note("kill");
    remember(info, param);
    return unitLog.scripts[index_].kill;
}

CScanEXVirus* createNothing() { return nullptr; }

host::FileObject* makeFile(std::vector<uint8_t> bytes, uint32_t format) {
    host::FileObject* file = host::FileObject::fromBytes(std::move(bytes));
    file->setFormat(format);
    return file;
}

std::vector<uint8_t> smallPe() {
    return fixtures::PeBuilder().addSection({".text", fixtures::Bytes(32, 0x90)}).entryInSection(0, 0).build();
}

}  // namespace frametest
