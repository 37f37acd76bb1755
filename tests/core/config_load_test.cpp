// Loading the configuration file in a sandboxed data folder: every outcome
// with its status line, events and resulting settings, the calls into the
// canary names and the extra-folder watchers, odd files, and a reload while
// other threads read the settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/handles.h"
#include "core/hooks.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/test_support.h"

namespace {

using Events = std::vector<std::pair<std::string, std::string>>;

const wchar_t kLoadFailedToCreate[] = L"Config missing and failed to create (using in-memory defaults)";
const wchar_t kLoadFailedToOpen[] = L"Config: failed to open (using defaults)";
const wchar_t kDefaultCanaryNames[] = L"Vellumgard_DO_NOT_TOUCH.txt|Important_Backup_DO_NOT_DELETE.txt";

// A text as itself, or, when long, as its length and a hash (a failure
// message should not print megabytes).
std::string Text(const std::wstring& text) {
    if (text.size() <= 200) return WideToUtf8(text);
    uint64_t hash = 1469598103934665603ull;
    for (const wchar_t ch : text) hash = (hash ^ static_cast<uint32_t>(ch)) * 1099511628211ull;
    std::ostringstream s;
    s << text.size() << " chars, hash " << std::hex << hash;
    return s.str();
}

// Every field, in record order, as one comparable line.
std::string Fields(const Config& c) {
    std::ostringstream s;
    s << c.enableProcessMonitor << c.enableDirMonitorDesktop << c.enableDirMonitorDocuments
      << c.enableDirMonitorDownloads << ' ' << c.burstWindowSeconds << ' ' << c.burstThreshold << ' '
      << c.fileBurstIncidentSeverity << ' ' << c.enableProcessHeuristics << ' ' << c.processSuspiciousScoreThreshold
      << ' ' << c.enableDirFileHeuristics << c.ransomNoteHeuristicsEnabled << c.encryptedExtHeuristicsEnabled << ' '
      << c.dirFileHeuristicIncidentSeverity << ' ' << c.incidentRateLimitSeconds << ' ' << c.enableCanaryFiles << ' '
      << c.canaryIncidentSeverity << ' ' << c.canaryWarmupSeconds << " [" << Text(c.canaryFileNames) << "] [" << Text(c.extraWatchDirs) << "]"
      << ' ' << c.extendedDetection << ' ' << c.massRenameIncidentSeverity << ' ' << c.logMaxMegabytes << ' '
      << c.logKeepFiles << ' ' << c.incidentRetentionDays << ' ' << c.pauseSuspectPrograms << " ["
      << Text(c.neverPausePrograms) << "]";
    return s.str();
}

std::string CurrentFields() {
    ConfigSnapshot s;
    SnapshotConfig(s);
    return Fields(s);
}

// The scalars threads read without the lock, from gLiveConfig and from a record.
std::string LiveFields() {
    std::ostringstream s;
    s << gLiveConfig.enableProcessMonitor << gLiveConfig.enableDirMonitorDesktop
      << gLiveConfig.enableDirMonitorDocuments << gLiveConfig.enableDirMonitorDownloads << ' '
      << gLiveConfig.burstWindowSeconds << ' ' << gLiveConfig.burstThreshold << ' '
      << gLiveConfig.fileBurstIncidentSeverity << ' ' << gLiveConfig.enableDirFileHeuristics
      << gLiveConfig.ransomNoteHeuristicsEnabled << gLiveConfig.encryptedExtHeuristicsEnabled << ' '
      << gLiveConfig.dirFileHeuristicIncidentSeverity << ' ' << gLiveConfig.extendedDetection << ' '
      << gLiveConfig.logMaxMegabytes << ' ' << gLiveConfig.logKeepFiles << ' ' << gLiveConfig.incidentRetentionDays;
    return s.str();
}

std::string LiveFieldsOf(const Config& c) {
    std::ostringstream s;
    s << c.enableProcessMonitor << c.enableDirMonitorDesktop << c.enableDirMonitorDocuments
      << c.enableDirMonitorDownloads << ' ' << c.burstWindowSeconds << ' ' << c.burstThreshold << ' '
      << c.fileBurstIncidentSeverity << ' ' << c.enableDirFileHeuristics << c.ransomNoteHeuristicsEnabled
      << c.encryptedExtHeuristicsEnabled << ' ' << c.dirFileHeuristicIncidentSeverity << ' ' << c.extendedDetection
      << ' ' << c.logMaxMegabytes << ' ' << c.logKeepFiles << ' ' << c.incidentRetentionDays;
    return s.str();
}

Config BuiltIn() {
    Config c;
    SetConfigDefaults(c);
    return c;
}

Config DefaultFile() {
    Config c = BuiltIn();
    c.canaryFileNames = kDefaultCanaryNames;
    return c;
}

std::wstring LoadedStatus(size_t bytes, const Config& c) {
    return L"Config: loaded (" + std::to_wstring(bytes) + L" bytes, burstWindow=" +
           std::to_wstring(c.burstWindowSeconds) + L", burstThreshold=" + std::to_wstring(c.burstThreshold) +
           L", procScoreThresh=" + std::to_wstring(c.processSuspiciousScoreThreshold) + L")";
}

// A configuration file holding every setting of the record.
std::string FileText(const Config& c) {
    auto b = [](bool v) { return v ? "true" : "false"; };
    std::ostringstream s;
    s << "{\n  \"enableProcessMonitor\": " << b(c.enableProcessMonitor)
      << ",\n  \"enableDirMonitorDesktop\": " << b(c.enableDirMonitorDesktop)
      << ",\n  \"enableDirMonitorDocuments\": " << b(c.enableDirMonitorDocuments)
      << ",\n  \"enableDirMonitorDownloads\": " << b(c.enableDirMonitorDownloads)
      << ",\n  \"burstWindowSeconds\": " << c.burstWindowSeconds << ",\n  \"burstThreshold\": " << c.burstThreshold
      << ",\n  \"fileBurstIncidentSeverity\": " << c.fileBurstIncidentSeverity
      << ",\n  \"enableProcessHeuristics\": " << b(c.enableProcessHeuristics)
      << ",\n  \"processSuspiciousScoreThreshold\": " << c.processSuspiciousScoreThreshold
      << ",\n  \"enableDirFileHeuristics\": " << b(c.enableDirFileHeuristics)
      << ",\n  \"ransomNoteHeuristicsEnabled\": " << b(c.ransomNoteHeuristicsEnabled)
      << ",\n  \"encryptedExtHeuristicsEnabled\": " << b(c.encryptedExtHeuristicsEnabled)
      << ",\n  \"dirFileHeuristicIncidentSeverity\": " << c.dirFileHeuristicIncidentSeverity
      << ",\n  \"incidentRateLimitSeconds\": " << c.incidentRateLimitSeconds
      << ",\n  \"enableCanaryFiles\": " << b(c.enableCanaryFiles)
      << ",\n  \"canaryIncidentSeverity\": " << c.canaryIncidentSeverity
      << ",\n  \"canaryWarmupSeconds\": " << c.canaryWarmupSeconds << ",\n  \"canaryFileNames\": \""
      << JsonEscape(WideToUtf8(c.canaryFileNames)) << "\",\n  \"extraWatchDirs\": \""
      << JsonEscape(WideToUtf8(c.extraWatchDirs)) << "\",\n  \"extendedDetection\": " << b(c.extendedDetection)
      << "\n}\n";
    return s.str();
}

// Settings that differ from the built-in defaults, and from each other, in every field.
Config CustomA() {
    Config c;  // every boolean false
    c.burstWindowSeconds = 45;
    c.burstThreshold = 120;
    c.fileBurstIncidentSeverity = 81;
    c.processSuspiciousScoreThreshold = 70;
    c.dirFileHeuristicIncidentSeverity = 66;
    c.incidentRateLimitSeconds = 5;
    c.canaryIncidentSeverity = 95;
    c.canaryWarmupSeconds = 25;
    c.canaryFileNames = L"caf\u00e9.txt|" + std::wstring(20000, L'a') + L".txt";
    c.extraWatchDirs = L"C:\\Data|D:\\More\\" + std::wstring(300, L'x');
    return c;
}

Config CustomB() {
    Config c = BuiltIn();
    c.burstWindowSeconds = 1000001;
    c.burstThreshold = -2000002;
    c.fileBurstIncidentSeverity = 3000003;
    c.processSuspiciousScoreThreshold = -4000004;
    c.dirFileHeuristicIncidentSeverity = 5000005;
    c.incidentRateLimitSeconds = -6000006;
    c.canaryIncidentSeverity = 7000007;
    c.canaryWarmupSeconds = -8000008;
    c.canaryFileNames = L"b.txt|" + std::wstring(50000, L'b');
    c.extraWatchDirs = std::wstring(120, L'y');
    c.extendedDetection = true;
    return c;
}

// The log's events as (type, msg) pairs, from line `from` on.
Events LoggedEvents(size_t from = 0) {
    Events out;
    const auto lines = ReadLogLines();
    for (size_t i = from; i < lines.size(); ++i) {
        const auto j = nlohmann::json::parse(lines[i], nullptr, false);
        if (!j.is_object()) {
            out.emplace_back("<invalid>", lines[i]);
            continue;
        }
        out.emplace_back(j.value("type", "<none>"), j.value("msg", "<none>"));
    }
    return out;
}

// Calls into the higher layers, recorded with what the world looked like.
struct HookCall {
    std::string kind;           // "sync" or "rebuild"
    std::string settings;       // Fields() of the argument
    std::string current;        // Fields() of a snapshot taken during the call
    size_t logLines;            // log lines written before the call
    std::wstring lastStatus;    // LastConfigStatus() during the call
};
std::vector<HookCall> gHookCalls;

void Record(const char* kind, const Config& settings) {
    gHookCalls.push_back({kind, Fields(settings), CurrentFields(), ReadLogLines().size(), LastConfigStatus()});
}
void RecordSync(const Config& settings) { Record("sync", settings); }
void RecordRebuild(const Config& settings) { Record("rebuild", settings); }

struct RecordingHooks {
    RecordingHooks() {
        gHookCalls.clear();
        gSyncExtraWatchDirs = RecordSync;
        gRebuildCanaryNames = RecordRebuild;
    }
    ~RecordingHooks() {
        gSyncExtraWatchDirs = nullptr;
        gRebuildCanaryNames = nullptr;
    }
    RecordingHooks(const RecordingHooks&) = delete;
    RecordingHooks& operator=(const RecordingHooks&) = delete;
};

// A successful read: rebuild and sync with the loaded settings once they are
// current and before anything is logged, then, after the "config_load" event,
// a sync with a fresh snapshot. `from` skips calls made before the read.
void ExpectLoadedCalls(const Config& loaded, size_t logLinesBefore, const std::wstring& previousStatus,
                       size_t from = 0) {
    const std::string want = Fields(loaded);
    ASSERT_EQ(gHookCalls.size(), from + 3);
    const HookCall& rebuild = gHookCalls[from];
    const HookCall& first = gHookCalls[from + 1];
    const HookCall& second = gHookCalls[from + 2];
    EXPECT_EQ(rebuild.kind, "rebuild");
    EXPECT_EQ(first.kind, "sync");
    EXPECT_EQ(second.kind, "sync");
    for (const HookCall* c : {&rebuild, &first, &second}) {
        EXPECT_EQ(c->settings, want) << c->kind;
        EXPECT_EQ(c->current, want) << c->kind;
    }
    EXPECT_EQ(rebuild.logLines, logLinesBefore);
    EXPECT_EQ(first.logLines, logLinesBefore);
    EXPECT_EQ(rebuild.lastStatus, previousStatus);
    EXPECT_EQ(first.lastStatus, previousStatus);
    EXPECT_EQ(second.logLines, logLinesBefore + 1);
    ASSERT_GE(LoggedEvents().size(), second.logLines);
    EXPECT_EQ(LoggedEvents()[second.logLines - 1].first, "config_load");
}

struct Sandbox {
    TempDir dir;
    Sandbox() { UseDataPathsBelow(dir.path); }
};

// Holds a file open with no sharing, so nobody else can open it.
UniqueHandle LockFileExclusively(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

TEST(EnsureDefaultConfig, CreatesTheDefaultFileOnlyWhenItIsMissing) {
    const struct {
        const char* name;
        void (*setup)();
        bool result;
        const wchar_t* status;
        Events events;
        const char* fileAfter;  // nullptr: the default text
        size_t syncs;           // the whole-file write synchronises once
    } cases[] = {
        {"file present", [] { WriteFileBytes(gDataPaths.configFile, "{}"); }, true, L"", {}, "{}", 0},
        {"empty file present", [] { WriteFileBytes(gDataPaths.configFile, ""); }, true, L"", {}, "", 0},
        {"file missing", [] {}, true, L"Config created: Vellumgard.config.json (defaults)",
         {{"config_create", "default config created"}}, nullptr, 1},
        {"data folder missing", [] { RemoveTree(gDataPaths.dataDir); }, true,
         L"Config created: Vellumgard.config.json (defaults)", {{"config_create", "default config created"}}, nullptr, 1},
        {"folder in place of the file", [] { CreateDirectoryW(gDataPaths.configFile.c_str(), nullptr); }, false,
         kLoadFailedToCreate, {{"config_create_error", "failed to create default config"}}, "<folder>", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        c.setup();
        RecordingHooks hooks;
        std::wstring status = L"stale";
        EXPECT_EQ(EnsureDefaultConfig(status), c.result);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(LoggedEvents(), c.events);
        EXPECT_EQ(gHookCalls.size(), c.syncs);
        if (!c.fileAfter) {
            EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), DefaultConfigText());
        } else if (std::string(c.fileAfter) == "<folder>") {
            EXPECT_TRUE(PathIsDirectory(gDataPaths.configFile));
        } else {
            EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), c.fileAfter);
        }
        EXPECT_EQ(LastConfigStatus(), L"");  // only a load sets it
    }
}

TEST(LoadConfig, MissingFileIsCreatedWithTheDefaultTextThenLoaded) {
    EXPECT_EQ(LastConfigStatus(), L"");  // nothing loaded yet in this process
    for (const bool dataFolderExists : {true, false}) {
        SCOPED_TRACE(dataFolderExists ? "data folder exists" : "data folder missing");
        Sandbox box;
        if (!dataFolderExists) RemoveTree(gDataPaths.dataDir);
        RecordingHooks hooks;
        const std::wstring previous = LastConfigStatus();

        std::wstring status;
        EXPECT_TRUE(LoadConfig(status));
        EXPECT_EQ(status, L"Config: loaded (681 bytes, burstWindow=30, burstThreshold=50, procScoreThresh=60)");
        EXPECT_EQ(LastConfigStatus(), status);
        EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), DefaultConfigText());
        EXPECT_EQ(LoggedEvents(), (Events{{"config_create", "default config created"},
                                          {"config_load", WideToUtf8(status)}}));
        EXPECT_EQ(CurrentFields(), Fields(DefaultFile()));
        EXPECT_EQ(LiveFields(), LiveFieldsOf(DefaultFile()));

        // The creating write synchronises first, with the settings of before.
        ASSERT_FALSE(gHookCalls.empty());
        EXPECT_EQ(gHookCalls[0].kind, "sync");
        EXPECT_EQ(gHookCalls[0].logLines, 0u);
        ExpectLoadedCalls(DefaultFile(), 1, previous, 1);
    }
}

// Creation fails when a folder stands where the file should be, or a file
// where the data folder should be. The load still succeeds, on the built-in
// defaults, and neither the canary names nor the watchers are touched.
TEST(LoadConfig, FileThatCannotBeCreatedLoadsBuiltInDefaults) {
    const struct {
        const char* name;
        void (*breakIt)();
        bool logWritable;
    } cases[] = {
        {"folder in place of the file",
         [] {
             DeleteFileW(gDataPaths.configFile.c_str());
             CreateDirectoryW(gDataPaths.configFile.c_str(), nullptr);
         },
         true},
        {"file in place of the data folder",
         [] {
             RemoveTree(gDataPaths.dataDir);
             WriteFileBytes(gDataPaths.dataDir, "x");
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, FileText(CustomA())));
        std::wstring status;
        ASSERT_TRUE(LoadConfig(status));
        ASSERT_EQ(CurrentFields(), Fields(CustomA()));
        const size_t logged = ReadLogLines().size();

        c.breakIt();
        RecordingHooks hooks;
        EXPECT_TRUE(LoadConfig(status));
        EXPECT_EQ(status, kLoadFailedToCreate);
        EXPECT_EQ(LastConfigStatus(), kLoadFailedToCreate);
        EXPECT_EQ(CurrentFields(), Fields(BuiltIn()));
        EXPECT_EQ(LiveFields(), LiveFieldsOf(BuiltIn()));
        EXPECT_TRUE(gHookCalls.empty());
        if (c.logWritable) {
            EXPECT_EQ(LoggedEvents(logged), (Events{{"config_create_error", "failed to create default config"},
                                                    {"config_load", "config file not found; using defaults"}}));
            EXPECT_TRUE(PathIsDirectory(gDataPaths.configFile));
        } else {
            EXPECT_EQ(ReadFileBytes(gDataPaths.dataDir), "x");
        }
    }
}

TEST(LoadConfig, FileThatCannotBeOpenedLoadsBuiltInDefaultsAndFails) {
    Sandbox box;
    const std::string text = FileText(CustomA());
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, text));
    std::wstring status;
    ASSERT_TRUE(LoadConfig(status));
    ASSERT_EQ(CurrentFields(), Fields(CustomA()));
    const size_t logged = ReadLogLines().size();

    {
        UniqueHandle held = LockFileExclusively(gDataPaths.configFile);
        ASSERT_TRUE(held);
        RecordingHooks hooks;
        EXPECT_FALSE(LoadConfig(status));
        EXPECT_EQ(status, kLoadFailedToOpen);
        EXPECT_EQ(LastConfigStatus(), kLoadFailedToOpen);
        EXPECT_EQ(CurrentFields(), Fields(BuiltIn()));
        EXPECT_EQ(LiveFields(), LiveFieldsOf(BuiltIn()));
        EXPECT_EQ(LoggedEvents(logged), (Events{{"config_load", "failed to open config; using defaults"}}));
        EXPECT_TRUE(gHookCalls.empty());
    }
    // The file was left alone and loads again once it is free.
    EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), text);
    EXPECT_TRUE(LoadConfig(status));
    EXPECT_EQ(status, LoadedStatus(text.size(), CustomA()));
    EXPECT_EQ(CurrentFields(), Fields(CustomA()));
}

TEST(LoadConfig, ReadsEachSettingByTheKeyRules) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    std::string utf16 = "\xFF\xFE";
    for (const char ch : DefaultConfigText()) utf16 += std::string(1, ch) + '\0';
    std::string binary;
    for (int round = 0; round < 4; ++round)
        for (int byte = 0; byte < 256; ++byte) binary += static_cast<char>(byte);

    const struct {
        const char* name;
        std::string content;
        void (*expect)(Config&);  // applied to the built-in defaults
    } cases[] = {
        {"only braces", "{}\n", [](Config&) {}},
        {"empty file", "", [](Config&) {}},
        {"every setting changed", FileText(CustomA()), [](Config& c) { c = CustomA(); }},
        {"default text", DefaultConfigText(), [](Config& c) { c = DefaultFile(); }},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + DefaultConfigText(), [](Config& c) { c = DefaultFile(); }},
        {"UTF-16 finds no key", utf16, [](Config&) {}},
        {"binary bytes", binary, [](Config&) {}},
        {"zero and negative integers are kept",
         "{\"burstThreshold\": -5, \"canaryWarmupSeconds\": 0, \"incidentRateLimitSeconds\": -1}",
         [](Config& c) {
             c.burstThreshold = -5;
             c.canaryWarmupSeconds = 0;
             c.incidentRateLimitSeconds = -1;
         }},
        {"integers beyond 32 bits saturate",
         "{\"burstWindowSeconds\": 99999999999, \"processSuspiciousScoreThreshold\": -99999999999,"
         " \"burstThreshold\": 4294967346}",
         [](Config& c) {
             c.burstWindowSeconds = kMax;
             c.processSuspiciousScoreThreshold = kMin;
             c.burstThreshold = kMax;
         }},
        {"quoted, signed and trailing-letter numbers",
         "{\"burstThreshold\": \"70\", \"burstWindowSeconds\": +40, \"fileBurstIncidentSeverity\": 12abc,"
         " \"canaryIncidentSeverity\": 95.5}",
         [](Config& c) {
             c.fileBurstIncidentSeverity = 12;
             c.canaryIncidentSeverity = 95;
         }},
        {"booleans by their first letters",
         "{\"enableCanaryFiles\": FALSE, \"enableProcessMonitor\": 0, \"enableDirMonitorDesktop\": falsey,"
         " \"enableProcessHeuristics\": False, \"enableDirFileHeuristics\": \"false\"}",
         [](Config& c) {
             c.enableCanaryFiles = false;
             c.enableDirMonitorDesktop = false;
             c.enableProcessHeuristics = false;
         }},
        {"values on the next line",
         "{\n  \"burstThreshold\":\n    7,\n  \"enableCanaryFiles\":\r\n false,\n  \"canaryFileNames\":\n \"x\"\n}\n",
         [](Config&) {}},
        {"nested and duplicated keys",
         "{\"outer\": {\"burstThreshold\": 7, \"inner\": {\"canaryFileNames\": \"n.txt\"}},"
         " \"burstThreshold\": 9, \"burstWindowSeconds\": 11, \"burstWindowSeconds\": 12,"
         " \"canaryFileNames\": \"late.txt\"}",
         [](Config& c) {
             c.burstThreshold = 7;
             c.burstWindowSeconds = 11;
             c.canaryFileNames = L"n.txt";
         }},
        {"escapes in a folder list", "{\"extraWatchDirs\": \"C:\\\\Data\\nD:\\\\X\\u0041\\/y\"}",
         [](Config& c) { c.extraWatchDirs = L"C:\\Data\nD:\\Xu0041/y"; }},
        {"backslash as the very last byte", "{\"burstThreshold\": 8, \"extraWatchDirs\": \"C:\\",
         [](Config& c) {
             c.burstThreshold = 8;
             c.extraWatchDirs = L"C:\\";
         }},
        {"string without its closing quote", "{\"burstThreshold\": 8, \"canaryFileNames\": \"a.txt|b.txt\n",
         [](Config& c) {
             c.burstThreshold = 8;
             c.canaryFileNames = L"a.txt|b.txt\n";
         }},
        {"unclosed string hides nothing from the key search",
         "{\"canaryFileNames\": \"a.txt, \"burstThreshold\": 8, \"extraWatchDirs\": \"D:\\\\Y\"",
         [](Config& c) {
             c.canaryFileNames = L"a.txt, ";
             c.burstThreshold = 8;
             c.extraWatchDirs = L"D:\\Y";
         }},
        {"texts that are not strings", "{\"canaryFileNames\": null, \"extraWatchDirs\": 5}", [](Config&) {}},
        {"extended detection on", "{\"extendedDetection\": true}", [](Config& c) { c.extendedDetection = true; }},
        {"extended detection by its first letters", "{\"extendedDetection\": TRUEly}",
         [](Config& c) { c.extendedDetection = true; }},
        {"extended detection off", "{\"extendedDetection\": false}", [](Config&) {}},
        {"extended detection unreadable", "{\"extendedDetection\": 1}", [](Config&) {}},
        {"mass-rename severity", "{\"massRenameIncidentSeverity\": 70}",
         [](Config& c) { c.massRenameIncidentSeverity = 70; }},
        {"history bounds", "{\"logMaxMegabytes\": 50, \"logKeepFiles\": 2, \"incidentRetentionDays\": 90}",
         [](Config& c) {
             c.logMaxMegabytes = 50;
             c.logKeepFiles = 2;
             c.incidentRetentionDays = 90;
         }},
        {"extended detection beside the default text",
         DefaultConfigText().substr(0, DefaultConfigText().size() - 2) + ",\n  \"extendedDetection\": true\n}\n",
         [](Config& c) {
             c = DefaultFile();
             c.extendedDetection = true;
         }},
        {"pausing and its exemptions",
         "{\"pauseSuspectPrograms\": true, \"neverPausePrograms\": \"backup.exe; C:\\\\Tools\\\\sync.exe\"}",
         [](Config& c) {
             c.pauseSuspectPrograms = true;
             c.neverPausePrograms = L"backup.exe; C:\\Tools\\sync.exe";
         }},
        {"pausing unreadable", "{\"pauseSuspectPrograms\": yes, \"neverPausePrograms\": 3}", [](Config&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, c.content));
        Config want = BuiltIn();
        c.expect(want);
        RecordingHooks hooks;
        const std::wstring previous = LastConfigStatus();

        std::wstring status;
        EXPECT_TRUE(LoadConfig(status));
        EXPECT_EQ(status, LoadedStatus(c.content.size(), want));
        EXPECT_EQ(LastConfigStatus(), status);
        EXPECT_EQ(CurrentFields(), Fields(want));
        EXPECT_EQ(LiveFields(), LiveFieldsOf(want));
        EXPECT_EQ(LoggedEvents(), (Events{{"config_load", WideToUtf8(status)}}));
        EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), c.content);  // a present file is never rewritten
        ExpectLoadedCalls(want, 0, previous);
    }
}

TEST(LoadConfig, StatusLineReportsBytesAndTheThreeSettingsLiterally) {
    Sandbox box;
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, "{}\n"));
    std::wstring status;
    ASSERT_TRUE(LoadConfig(status));
    EXPECT_EQ(status, L"Config: loaded (3 bytes, burstWindow=30, burstThreshold=50, procScoreThresh=60)");

    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile,
                               "{\"burstWindowSeconds\": -1, \"burstThreshold\": 99999999999,"
                               " \"processSuspiciousScoreThreshold\": -99999999999}"));
    ASSERT_TRUE(LoadConfig(status));
    EXPECT_EQ(status, L"Config: loaded (106 bytes, burstWindow=-1, burstThreshold=2147483647, "
                      L"procScoreThresh=-2147483648)");
}

// Tens of megabytes, with a key found only after 40 MB and a text that runs
// unclosed to the end of the file, where the last byte is a backslash.
TEST(LoadConfig, HugeFileLoadsCompletely) {
    Sandbox box;
    const size_t kNames = 20u << 20, kPad = 20u << 20, kTail = 8u << 20;
    std::string text = "{\n  \"canaryFileNames\": \"";
    text.append(kNames, 'n');
    text += "\",\n";
    text.append(kPad, ' ');
    text += "\n  \"burstWindowSeconds\": 45,\n  \"extraWatchDirs\": \"";
    text.append(kTail, 'd');
    text += '\\';
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, text));

    std::wstring status;
    EXPECT_TRUE(LoadConfig(status));
    Config want = BuiltIn();
    want.burstWindowSeconds = 45;
    EXPECT_EQ(status, LoadedStatus(text.size(), want));
    ConfigSnapshot s;
    SnapshotConfig(s);
    EXPECT_EQ(s.burstWindowSeconds, 45);
    EXPECT_EQ(s.burstThreshold, 50);
    // Compared without EXPECT_EQ, whose failure message would print megabytes.
    EXPECT_TRUE(s.canaryFileNames == std::wstring(kNames, L'n')) << s.canaryFileNames.size();
    EXPECT_TRUE(s.extraWatchDirs == std::wstring(kTail, L'd') + L"\\") << s.extraWatchDirs.size();
}

TEST(LoadConfig, ReloadReplacesEverySettingAndRecreatesADeletedFile) {
    Sandbox box;
    std::wstring status;
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, FileText(CustomA())));
    ASSERT_TRUE(LoadConfig(status));
    ASSERT_EQ(CurrentFields(), Fields(CustomA()));

    // A key that disappeared gives its default (empty for the texts), never
    // the previous value.
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, "{\"burstThreshold\": 3}"));
    ASSERT_TRUE(LoadConfig(status));
    Config want = BuiltIn();
    want.burstThreshold = 3;
    EXPECT_EQ(CurrentFields(), Fields(want));

    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, FileText(CustomB())));
    ASSERT_TRUE(LoadConfig(status));
    EXPECT_EQ(CurrentFields(), Fields(CustomB()));
    const std::wstring previous = LastConfigStatus();

    ASSERT_TRUE(DeleteFileW(gDataPaths.configFile.c_str()));
    const size_t logged = ReadLogLines().size();
    RecordingHooks hooks;
    EXPECT_TRUE(LoadConfig(status));
    EXPECT_EQ(status, L"Config: loaded (681 bytes, burstWindow=30, burstThreshold=50, procScoreThresh=60)");
    EXPECT_EQ(ReadFileBytes(gDataPaths.configFile), DefaultConfigText());
    EXPECT_EQ(CurrentFields(), Fields(DefaultFile()));
    EXPECT_EQ(LoggedEvents(logged),
              (Events{{"config_create", "default config created"}, {"config_load", WideToUtf8(status)}}));
    ASSERT_FALSE(gHookCalls.empty());
    EXPECT_EQ(gHookCalls[0].settings, Fields(CustomB()));  // the creating write's sync
    ExpectLoadedCalls(DefaultFile(), logged + 1, previous, 1);
}

// Reloads on the main thread while worker-like threads take snapshots and
// read the lock-free scalars: each sees one whole configuration or the other.
TEST(LoadConfig, ReloadWhileOtherThreadsReadNeverShowsAMix) {
    Sandbox box;
    CreateCoreLock(gConfigLock);
    const Config a = CustomA(), b = CustomB();
    const std::string textA = FileText(a), textB = FileText(b);
    const std::string wholeA = Fields(a), wholeB = Fields(b);
    const std::string liveA = LiveFieldsOf(a);
    ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, textA));
    std::wstring status;
    ASSERT_TRUE(LoadConfig(status));
    ASSERT_EQ(CurrentFields(), wholeA);

    std::atomic<bool> done{false};
    std::atomic<int> mixedSnapshots{0}, mixedScalars{0}, snapshots{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            ConfigSnapshot s;
            do {
                SnapshotConfig(s);
                const std::string f = Fields(s);
                if (f != wholeA && f != wholeB) ++mixedSnapshots;
                ++snapshots;
                const int32_t window = gLiveConfig.burstWindowSeconds.load();
                const int32_t threshold = gLiveConfig.burstThreshold.load();
                const int32_t severity = gLiveConfig.fileBurstIncidentSeverity.load();
                const int32_t fileSeverity = gLiveConfig.dirFileHeuristicIncidentSeverity.load();
                if ((window != a.burstWindowSeconds && window != b.burstWindowSeconds) ||
                    (threshold != a.burstThreshold && threshold != b.burstThreshold) ||
                    (severity != a.fileBurstIncidentSeverity && severity != b.fileBurstIncidentSeverity) ||
                    (fileSeverity != a.dirFileHeuristicIncidentSeverity &&
                     fileSeverity != b.dirFileHeuristicIncidentSeverity))
                    ++mixedScalars;
            } while (!done.load());
        });
    }
    int loaded = 0;
    for (int i = 1; i <= 200; ++i) {
        if (!WriteFileBytes(gDataPaths.configFile, i % 2 ? textB : textA)) continue;
        if (LoadConfig(status)) ++loaded;
    }
    done.store(true);
    for (auto& r : readers) r.join();
    DeleteCoreLock(gConfigLock);

    EXPECT_EQ(loaded, 200);
    EXPECT_GT(snapshots.load(), 0);
    EXPECT_EQ(mixedSnapshots.load(), 0);
    EXPECT_EQ(mixedScalars.load(), 0);
    EXPECT_EQ(CurrentFields(), wholeA);  // the last load (i = 200) read file A
    EXPECT_EQ(LiveFields(), liveA);
}
