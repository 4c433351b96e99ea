// The unknown-virus engine as the host reaches it: created by the post-library factory when
// asked for IQEEngine, run after the two specific-virus engines, naming the virus through its
// verdict, and only when the host's configuration enables heuristics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/module_host.h"
#include "host/services.h"
#include "module/formats/string_dump.h"
#include "module/frame/class_table.h"
#include "module/units/heuristic/unknown_virus.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/support/module_driver.h"

namespace {

using fixtures::Bytes;

uint64_t textCrc(const char* text) { return std_crc32(text, std::strlen(text)); }

// A PE whose data section holds `strings`, each ended by a zero byte.
Bytes peWithStrings(std::initializer_list<const char*> strings) {
    Bytes data(0x400, 0);
    size_t at = 0x10;
    for (const char* s : strings) {
        std::memcpy(data.data() + at, s, std::strlen(s));
        at += std::strlen(s) + 1;
    }
    fixtures::PeBuilder builder;
    builder.addSection({".text", Bytes(0x200, 0xC3)}).addSection({".data", data, 0, 0xC0000040});
    builder.entryInSection(0, 0);
    return builder.build();
}

tagStrScanMethod definition(uint64_t id, std::initializer_list<const char*> strings) {
    tagStrScanMethod d{};
    d.virusId = id;
    for (const char* s : strings) d.crcs[d.crcCount++] = textCrc(s);
    return d;
}

const char kVersion[] = "\nlibremedy.so version: test\n";
const char* const kVersionPointer = kVersion;

QRESULT linkedEntry(const GUID& classId, const GUID& interfaceId, void** out) {
    return getClassObject(classId, interfaceId, out);
}

class UnknownEngine : public ::testing::Test {
protected:
    static constexpr uint32_t kTestVirus = 0x00123456;
    static constexpr uint32_t kNeverRemoved = 0x0014FD71;

    void SetUp() override {
        definitions_[0] = definition(0x80000077, {"flag-bit-marker", "second-flag-marker"});
        definitions_[1] = definition(kTestVirus, {"payload-marker-one", "payload.marker.two"});
        definitions_[2] = definition(kNeverRemoved, {"kept-marker-string", "kept-marker-other"});
        CScanUnknownVirus::SetDefinitions(definitions_);
        initializeModule();
        std::string error;
        auto module = host::Module::linked(&linkedEntry, &kVersionPointer);
        rot_ = host::RunningObjectTable::createDefault();
        engines_ = host::Engines::create(module, rot_, &error);
        ASSERT_NE(engines_, nullptr) << error;
    }
    void TearDown() override {
        engines_.reset();
        rot_->Release();
        CScanUnknownVirus::SetDefinitions(CScanStrDump::g_VirusStr);
    }

    // `unpacked` as the image of a packed file the host recognised.
    static support::Sample layer(const Bytes& unpacked) {
        return support::Sample::insidePacked(unpacked, Bytes(0x800, 0x11));
    }

    tagStrScanMethod definitions_[3];
    host::RunningObjectTable* rot_ = nullptr;
    std::unique_ptr<host::Engines> engines_;
};

TEST_F(UnknownEngine, NamesTheVirusOfAnUnpackedLayerAndRemovesIt) {
    rot_->engineConfig()->setHeuristics(true);
    support::Sample sample = layer(peWithStrings({"payload-marker-one", "payload.marker.two"}));
    const support::Outcome outcome = sample.scanThenKill(*engines_);
    EXPECT_EQ(outcome.finding.virusId, kTestVirus);
    EXPECT_EQ(outcome.finding.phase, host::Phase::Heuristic);
    EXPECT_EQ(outcome.result, KILL_REMOVED);
    EXPECT_TRUE(outcome.removed);
}

TEST_F(UnknownEngine, FindsNothingItMustNotFind) {
    struct Case {
        const char* name;
        bool heuristics;
        bool inLayer;
        Bytes bytes;
    } cases[] = {
        {"heuristics off", false, true, peWithStrings({"payload-marker-one", "payload.marker.two"})},
        {"not inside a packer layer", true, false, peWithStrings({"payload-marker-one", "payload.marker.two"})},
        {"one string of the definition", true, true, peWithStrings({"payload-marker-one"})},
        {"verdict with bit 31", true, true, peWithStrings({"flag-bit-marker", "second-flag-marker"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rot_->engineConfig()->setHeuristics(c.heuristics);
        support::Sample sample = layer(c.bytes);
        host::FileObject* f = c.inLayer ? sample.scanned : sample.outer;
        if (!c.inLayer) f->mutableBytes() = c.bytes;
        host::ScanTarget target(f);
        const host::ScanFinding found = engines_->scan(target);
        EXPECT_FALSE(found.failed);
        EXPECT_EQ(found.virusId, 0u);
        EXPECT_EQ(engines_->killFound(target), KILL_FAILED) << "nothing kept, nothing removed";
        EXPECT_FALSE(f->removed());
    }
}

TEST_F(UnknownEngine, OneIdentifierIsNeverRemoved) {
    rot_->engineConfig()->setHeuristics(true);
    support::Sample sample = layer(peWithStrings({"kept-marker-string", "kept-marker-other"}));
    const support::Outcome outcome = sample.scanThenKill(*engines_);
    EXPECT_EQ(outcome.finding.virusId, kNeverRemoved);
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_FALSE(outcome.removed);
}

TEST(UnknownEngineFactory, ThePostLibraryFactoryCreatesItForIQEEngineOnly) {
    std::string error;
    auto module = host::Module::load(REMEDY_MODULE_PATH, &error);
    ASSERT_NE(module, nullptr) << error;
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    IUnknown* context = static_cast<IQERunningObjectTable*>(rot);
    struct Case {
        const GUID* classId;
        bool unknownEngine;
    } cases[] = {{&qe::CLSID_CQEEngineScanExPost, true},
                 {&qe::CLSID_CQEEngineScanExPre, false},
                 {&qe::CLSID_CQEEngineKillEx, false}};
    for (const Case& c : cases) {
        IQXClassFactory* factory = nullptr;
        ASSERT_EQ(module->classFactory(*c.classId, &factory), QE_OK);
        void* scanEngine = nullptr;
        ASSERT_EQ(factory->CreateInstance(context, nullptr, qe::IID_IQEEngineScanEx, &scanEngine), QE_OK);
        void* other = nullptr;
        EXPECT_LT(static_cast<IUnknown*>(scanEngine)->QueryInterface(qe::IID_IQEEngine, &other), 0)
            << "a scan or kill engine never answers IQEEngine";
        static_cast<IUnknown*>(scanEngine)->Release();
        void* engine = nullptr;
        const QRESULT r = factory->CreateInstance(context, nullptr, qe::IID_IQEEngine, &engine);
        if (c.unknownEngine) {
            ASSERT_EQ(r, QE_OK);
            ASSERT_NE(engine, nullptr);
            EXPECT_LT(static_cast<IUnknown*>(engine)->QueryInterface(qe::IID_IQEEngineScanEx, &other), 0);
            // No file, no verdict; no kept unit, nothing to remove.
            EXPECT_EQ(static_cast<IQEEngine*>(engine)->Scan(nullptr), 0u);
            EXPECT_EQ(static_cast<IQEEngine*>(engine)->Kill(nullptr), KILL_FAILED);
            static_cast<IUnknown*>(engine)->Release();
            EXPECT_EQ(factory->CreateInstance(nullptr, nullptr, qe::IID_IQEEngine, &engine), QE_E_INVALIDARG)
                << "never without a running-object table";
        } else {
            EXPECT_LT(r, 0);
            EXPECT_EQ(engine, nullptr);
        }
        factory->Release();
    }
    rot->Release();
}

}  // namespace
