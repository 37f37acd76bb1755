// Measures the specified and the extended rules on the corpora in
// tests/corpora (compiled in as bytes), prints the table the README quotes,
// and holds the extended rules to their targets on both the tuning and the
// held-out part of every corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/text.h"
#include "fsmon/extended_name_rules.h"
#include "fsmon/file_name_heuristics.h"
#include "procmon/extended_process_rules.h"
#include "procmon/process_heuristics.h"

namespace {

const unsigned char kRansomwareRenamesTuning[] = {
#include "corpora/ransomware_renames_tuning.inc"
};
const unsigned char kRansomwareRenamesHeldout[] = {
#include "corpora/ransomware_renames_heldout.inc"
};
const unsigned char kEverydayRenamesTuning[] = {
#include "corpora/everyday_renames_tuning.inc"
};
const unsigned char kEverydayRenamesHeldout[] = {
#include "corpora/everyday_renames_heldout.inc"
};
const unsigned char kRansomNotesTuning[] = {
#include "corpora/ransom_notes_tuning.inc"
};
const unsigned char kRansomNotesHeldout[] = {
#include "corpora/ransom_notes_heldout.inc"
};
const unsigned char kEverydayNamesTuning[] = {
#include "corpora/everyday_names_tuning.inc"
};
const unsigned char kEverydayNamesHeldout[] = {
#include "corpora/everyday_names_heldout.inc"
};
// The variations parts: only measured, never used to choose a rule.
const unsigned char kRansomwareRenamesVariations[] = {
#include "corpora/ransomware_renames_variations.inc"
};
const unsigned char kRansomNotesVariations[] = {
#include "corpora/ransom_notes_variations.inc"
};
const unsigned char kEverydayRenamesVariations[] = {
#include "corpora/everyday_renames_variations.inc"
};
const unsigned char kEverydayNamesVariations[] = {
#include "corpora/everyday_names_variations.inc"
};
const unsigned char kEverydayExtensionsTuning[] = {
#include "corpora/everyday_extensions_tuning.inc"
};
const unsigned char kEverydayExtensionsHeldout[] = {
#include "corpora/everyday_extensions_heldout.inc"
};
const unsigned char kMimeExtensionsTuning[] = {
#include "corpora/mime_extensions_tuning.inc"
};
const unsigned char kMimeExtensionsHeldout[] = {
#include "corpora/mime_extensions_heldout.inc"
};
const unsigned char kAttackCommandsTuning[] = {
#include "corpora/attack_commands_tuning.inc"
};
const unsigned char kAttackCommandsHeldout[] = {
#include "corpora/attack_commands_heldout.inc"
};
const unsigned char kEverydayCommandsTuning[] = {
#include "corpora/everyday_commands_tuning.inc"
};
const unsigned char kEverydayCommandsHeldout[] = {
#include "corpora/everyday_commands_heldout.inc"
};
const unsigned char kDualUseCommands[] = {
#include "corpora/dual_use_commands.inc"
};
const unsigned char kAttackVariationsTuning[] = {
#include "corpora/attack_commands_variations_tuning.inc"
};
const unsigned char kAttackVariationsHeldout[] = {
#include "corpora/attack_commands_variations_heldout.inc"
};
const unsigned char kEverydayVariationsTuning[] = {
#include "corpora/everyday_commands_variations_tuning.inc"
};
const unsigned char kEverydayVariationsHeldout[] = {
#include "corpora/everyday_commands_variations_heldout.inc"
};

using Row = std::vector<std::wstring>;

// The cases of a corpus file: every line that is neither empty nor a comment,
// split at tabs, converted from UTF-8.
template <size_t N>
std::vector<Row> Cases(const unsigned char (&bytes)[N]) {
    const std::string text(reinterpret_cast<const char*>(bytes), N);
    std::vector<Row> out;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Row row;
        size_t f = 0;
        for (;;) {
            const size_t tab = line.find('\t', f);
            row.push_back(Utf8ToWide(line.substr(f, tab == std::string::npos ? std::string::npos : tab - f)));
            if (tab == std::string::npos) break;
            f = tab + 1;
        }
        out.push_back(row);
    }
    return out;
}

struct Record {
    std::wstring name;
    int action;
    int64_t time;
};

// The specified rules on one record, every switch on: does a line come out?
bool SpecifiedFires(const Record& r) {
    return IsRansomNoteLikeName(r.name) || HasEncryptedLikeExtension(r.name);
}

// Plays the records through both rule sets; true per set when any record
// fires (massOnly: when a record completes a mass rename).
struct Outcome {
    bool specified = false;
    bool extended = false;
};

Outcome Play(const std::vector<Record>& records, bool massOnly = false) {
    Outcome o;
    ExtendedNameState state;
    for (const Record& r : records) {
        o.specified = o.specified || SpecifiedFires(r);
        const ExtendedNameVerdict v = EvaluateRecordExtended(state, r.name, r.action, r.time, true, true);
        o.extended = o.extended || (massOnly ? v.massRename == MassRename::kReport : v.reason != nullptr);
    }
    return o;
}

constexpr int64_t kT0 = 1760000000;

std::vector<Record> RenamePair(const std::wstring& from, const std::wstring& to) {
    return {{from, kActionRenamedOld, kT0}, {to, kActionRenamedNew, kT0}};
}
std::vector<Record> WriteThenDelete(const std::wstring& original, const std::wstring& written) {
    return {
        {written, kActionAdded, kT0}, {written, kActionModified, kT0}, {original, kActionRemoved, kT0 + 1}};
}
std::vector<Record> DeleteThenWrite(const std::wstring& original, const std::wstring& written) {
    return {{original, kActionRemoved, kT0},
            {written, kActionAdded, kT0 + 1},
            {written, kActionModified, kT0 + 1}};
}
// A file created and written in each folder, a second apart.
std::vector<Record> DropInto(const std::wstring& name, const std::vector<std::wstring>& folders) {
    std::vector<Record> out;
    int64_t t = kT0;
    for (const std::wstring& folder : folders) {
        const std::wstring path = folder.empty() ? name : folder + L"\\" + name;
        out.push_back({path, kActionAdded, t});
        out.push_back({path, kActionModified, t});
        ++t;
    }
    return out;
}
// The same rename given to three user files in three folders, a second apart.
std::vector<Record> RenameThree(const std::wstring& from, const std::wstring& to) {
    std::vector<Record> out;
    int64_t t = kT0;
    for (const wchar_t* folder : {L"Work\\", L"Photos\\", L""}) {
        out.push_back({folder + from, kActionRenamedOld, t});
        out.push_back({folder + to, kActionRenamedNew, t});
        ++t;
    }
    return out;
}
// An archive unpacked: each folder (and the folders above it) made, then four
// other files and the name written into it, all within a few seconds.
std::vector<Record> UnpackInto(const std::wstring& name, const std::vector<std::wstring>& folders) {
    std::vector<Record> out;
    int64_t t = kT0;
    std::vector<std::wstring> made;
    for (const std::wstring& folder : folders) {
        for (size_t end = folder.find(L'\\');; end = folder.find(L'\\', end + 1)) {
            const std::wstring step = folder.substr(0, end);
            if (std::find(made.begin(), made.end(), step) == made.end()) {
                made.push_back(step);
                out.push_back({step, kActionAdded, t});
            }
            if (end == std::wstring::npos) break;
        }
        for (const wchar_t* other : {L"\\index.dat", L"\\a.bin", L"\\b.bin", L"\\LICENSE"}) {
            out.push_back({folder + other, kActionAdded, t});
            out.push_back({folder + other, kActionModified, t});
        }
        out.push_back({folder + L"\\" + name, kActionAdded, t});
        out.push_back({folder + L"\\" + name, kActionModified, t});
        ++t;
    }
    return out;
}
std::vector<std::wstring> SplitFolders(const std::wstring& list) {
    std::vector<std::wstring> out;
    size_t from = 0;
    for (;;) {
        const size_t bar = list.find(L'|', from);
        out.push_back(list.substr(from, bar == std::wstring::npos ? std::wstring::npos : bar - from));
        if (bar == std::wstring::npos) return out;
        from = bar + 1;
    }
}

struct Figure {
    size_t total = 0, specified = 0, extended = 0;
    size_t specifiedOnly = 0;               // caught by the specified rules but not by the extended ones
    std::vector<std::string> extendedHits;  // for the failure message
};

// VG_CORPUS_DEBUG=1 lists every tuning case with both outcomes, for working on
// the rules; the held-out parts are never listed.
bool gDebugTuning = false;

void Count(Figure& f, const Outcome& o, const std::wstring& label) {
    ++f.total;
    if (o.specified) ++f.specified;
    if (o.extended) {
        ++f.extended;
        f.extendedHits.push_back(WideToUtf8(label));
    }
    if (o.specified && !o.extended) ++f.specifiedOnly;
    if (std::getenv("VG_CORPUS_DEBUG") && gDebugTuning)
        std::printf("DEBUG %s specified=%d extended=%d\n", WideToUtf8(label).c_str(), o.specified, o.extended);
}

std::string Percent(size_t part, size_t total) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%zu/%zu (%.1f%%)", part, total, total ? 100.0 * part / total : 0.0);
    return buf;
}

struct Split {
    const char* name;
    std::vector<Row> cases;
};

enum class Kind {
    kRenamePair,
    kWriteThenDelete,
    kDeleteThenWrite,
    kNameAlone,
    kMassRename,
    kNotes,
    kNoteOneFolder,
    kNames,
    kExtensions,
    kEverydayRenames
};

Figure MeasureFiles(Kind kind, const std::vector<Row>& cases) {
    Figure f;
    for (const Row& c : cases) {
        switch (kind) {
            case Kind::kRenamePair:
                Count(f, Play(RenamePair(c.at(0), c.at(1))), c.at(1));
                break;
            case Kind::kWriteThenDelete:
                Count(f, Play(WriteThenDelete(c.at(0), c.at(1))), c.at(1));
                break;
            case Kind::kDeleteThenWrite:
                Count(f, Play(DeleteThenWrite(c.at(0), c.at(1))), c.at(1));
                break;
            case Kind::kNameAlone:
                Count(f, Play({{c.at(1), kActionAdded, kT0}}), c.at(1));
                break;
            case Kind::kMassRename: {
                // The specified rules have no mass rename: theirs is a line on any of the three.
                Outcome o = Play(RenameThree(c.at(0), c.at(1)), true);
                o.specified = Play(RenameThree(c.at(0), c.at(1))).specified;
                Count(f, o, c.at(1));
                break;
            }
            case Kind::kNotes:
                Count(f, Play(DropInto(c.at(0), {L"", L"Projects", L"Projects\\2024", L"Photos"})), c.at(0));
                break;
            case Kind::kNoteOneFolder:
                Count(f, Play(DropInto(c.at(0), {L"Projects"})), c.at(0));
                break;
            case Kind::kNames: {
                const std::wstring folders = c.size() > 1 ? c[1] : L"";
                const std::wstring unpack = L"unpack:";
                if (folders.compare(0, unpack.size(), unpack) == 0)
                    Count(f, Play(UnpackInto(c.at(0), SplitFolders(folders.substr(unpack.size())))), c.at(0));
                else
                    Count(f, Play(DropInto(c.at(0), SplitFolders(folders))), c.at(0));
                break;
            }
            case Kind::kExtensions:
                Count(f, Play(DropInto(L"Report." + c.at(0), {L""})), c.at(0));
                break;
            case Kind::kEverydayRenames: {
                const std::wstring& mode = c.at(0);
                Outcome o;
                if (mode == L"rename") {
                    o = Play(RenamePair(c.at(1), c.at(2)));
                } else {
                    const Outcome a = Play(WriteThenDelete(c.at(1), c.at(2)));
                    const Outcome b = Play(DeleteThenWrite(c.at(1), c.at(2)));
                    o.specified = a.specified || b.specified;
                    o.extended = a.extended || b.extended;
                }
                Count(f, o, c.at(1) + L" -> " + c.at(2));
                break;
            }
        }
    }
    return f;
}

Figure MeasureCommands(const std::vector<Row>& cases) {
    Figure f;
    for (const Row& c : cases) {
        std::string fragment, decoded;
        Outcome o;
        o.specified = ScoreProcess(c.at(0), c.at(1), c.at(2), fragment) >= 60;
        o.extended = ScoreProcessExtended(c.at(0), c.at(1), c.at(2), fragment, decoded) >= 60;
        Count(f, o, c.at(2));
    }
    return f;
}

// The variations corpora add the original file name of the image's version
// resource (column 4) and write a tab in a command line as {TAB}. The
// specified rules know nothing of version resources.
Figure MeasureVariations(const std::vector<Row>& cases) {
    Figure f;
    for (const Row& c : cases) {
        std::wstring commandLine = c.at(2);
        for (size_t at = commandLine.find(L"{TAB}"); at != std::wstring::npos;
             at = commandLine.find(L"{TAB}"))
            commandLine.replace(at, 5, L"\t");
        std::string fragment, decoded;
        Outcome o;
        o.specified = ScoreProcess(c.at(0), c.at(1), commandLine, fragment) >= 60;
        o.extended =
            ScoreProcessExtended(c.at(0), c.at(3), L"", c.at(1), commandLine, fragment, decoded) >= 60;
        Count(f, o, c.at(2));
    }
    return f;
}

struct Line {
    std::string corpus, split;
    Figure figure;
    bool attack;  // higher is better
};

std::vector<Line> MeasureAll() {
    std::vector<Line> lines;
    // The variations part, where a corpus has one, is measured after the held-out part.
    const auto files = [&](const char* corpus, Kind kind, bool attack, const std::vector<Row>& tuning,
                           const std::vector<Row>& heldout, const std::vector<Row>* variations = nullptr) {
        gDebugTuning = true;
        if (std::getenv("VG_CORPUS_DEBUG")) std::printf("DEBUG == %s\n", corpus);
        lines.push_back({corpus, "tuning", MeasureFiles(kind, tuning), attack});
        gDebugTuning = false;
        lines.push_back({corpus, "held-out", MeasureFiles(kind, heldout), attack});
        if (variations) lines.push_back({corpus, "variations", MeasureFiles(kind, *variations), attack});
    };
    const auto renamesT = Cases(kRansomwareRenamesTuning), renamesH = Cases(kRansomwareRenamesHeldout);
    const auto renamesV = Cases(kRansomwareRenamesVariations);
    files("ransomware renames, rename pair", Kind::kRenamePair, true, renamesT, renamesH, &renamesV);
    files("ransomware renames, new file then delete", Kind::kWriteThenDelete, true, renamesT, renamesH,
          &renamesV);
    files("ransomware renames, delete then new file", Kind::kDeleteThenWrite, true, renamesT, renamesH,
          &renamesV);
    files("ransomware extensions, new name alone", Kind::kNameAlone, true, renamesT, renamesH, &renamesV);
    files("ransomware renames, three files (mass_rename)", Kind::kMassRename, true, renamesT, renamesH,
          &renamesV);
    const auto notesT = Cases(kRansomNotesTuning), notesH = Cases(kRansomNotesHeldout);
    const auto notesV = Cases(kRansomNotesVariations);
    files("ransom note drops (4 folders)", Kind::kNotes, true, notesT, notesH, &notesV);
    files("ransom note, one folder", Kind::kNoteOneFolder, true, notesT, notesH, &notesV);
    const auto everydayRenamesV = Cases(kEverydayRenamesVariations);
    files("everyday renames", Kind::kEverydayRenames, false, Cases(kEverydayRenamesTuning),
          Cases(kEverydayRenamesHeldout), &everydayRenamesV);
    const auto everydayNamesV = Cases(kEverydayNamesVariations);
    files("everyday names", Kind::kNames, false, Cases(kEverydayNamesTuning), Cases(kEverydayNamesHeldout),
          &everydayNamesV);
    files("everyday software extensions", Kind::kExtensions, false, Cases(kEverydayExtensionsTuning),
          Cases(kEverydayExtensionsHeldout));
    files("MIME database extensions", Kind::kExtensions, false, Cases(kMimeExtensionsTuning),
          Cases(kMimeExtensionsHeldout));
    gDebugTuning = true;  // the attack and everyday tuning parts
    const Figure attackT = MeasureCommands(Cases(kAttackCommandsTuning));
    const Figure everydayT = MeasureCommands(Cases(kEverydayCommandsTuning));
    gDebugTuning = false;
    lines.push_back({"attack command lines (score >= 60)", "tuning", attackT, true});
    lines.push_back({"attack command lines (score >= 60)", "held-out",
                     MeasureCommands(Cases(kAttackCommandsHeldout)), true});
    lines.push_back({"everyday command lines (score >= 60)", "tuning", everydayT, false});
    lines.push_back({"everyday command lines (score >= 60)", "held-out",
                     MeasureCommands(Cases(kEverydayCommandsHeldout)), false});
    lines.push_back(
        {"dual-use command lines (score >= 60)", "all", MeasureCommands(Cases(kDualUseCommands)), false});
    gDebugTuning = true;
    const Figure attackVT = MeasureVariations(Cases(kAttackVariationsTuning));
    const Figure everydayVT = MeasureVariations(Cases(kEverydayVariationsTuning));
    gDebugTuning = false;
    lines.push_back({"attack command lines, variations (score >= 60)", "tuning", attackVT, true});
    lines.push_back({"attack command lines, variations (score >= 60)", "held-out",
                     MeasureVariations(Cases(kAttackVariationsHeldout)), true});
    lines.push_back({"everyday command lines, variations (score >= 60)", "tuning", everydayVT, false});
    lines.push_back({"everyday command lines, variations (score >= 60)", "held-out",
                     MeasureVariations(Cases(kEverydayVariationsHeldout)), false});
    return lines;
}

const Line& Find(const std::vector<Line>& lines, const std::string& corpus, const std::string& split) {
    for (const Line& l : lines)
        if (l.corpus == corpus && l.split == split) return l;
    ADD_FAILURE() << "no line " << corpus << " / " << split;
    return lines.front();
}

std::string Hits(const Figure& f) {
    std::string out;
    for (size_t i = 0; i < f.extendedHits.size() && i < 12; ++i) out += "\n  " + f.extendedHits[i];
    return out;
}

}  // namespace

// Prints the table (the README's "Extended detection" figures) and checks the
// targets: at least 95% of ransomware renames and note drops caught, at most
// 1% of everyday renames, names and extensions flagged, at least 80% of attack
// command lines at the default threshold, textbook and variations alike, with
// at most one everyday line reaching it over the textbook and variations
// corpora together, and nothing the specified rules catch on the attack
// corpora lost.
TEST(ExtendedDetectionCorpora, MeetTheTargetsOnTuningAndHeldOutParts) {
    const std::vector<Line> lines = MeasureAll();
    std::printf("| corpus | part | specified rules | extended rules |\n|---|---|---|---|\n");
    for (const Line& l : lines)
        std::printf("| %s | %s | %s | %s |\n", l.corpus.c_str(), l.split.c_str(),
                    Percent(l.figure.specified, l.figure.total).c_str(),
                    Percent(l.figure.extended, l.figure.total).c_str());

    for (const char* split : {"tuning", "held-out"}) {
        SCOPED_TRACE(split);
        for (const char* corpus :
             {"ransomware renames, rename pair", "ransomware renames, new file then delete",
              "ransomware renames, delete then new file", "ransom note drops (4 folders)"}) {
            const Figure& f = Find(lines, corpus, split).figure;
            EXPECT_GE(f.extended * 100, f.total * 95) << corpus;
            EXPECT_EQ(f.specifiedOnly, 0u) << corpus;
        }
        for (const char* corpus : {"everyday renames", "everyday names", "everyday software extensions",
                                   "MIME database extensions"}) {
            const Figure& f = Find(lines, corpus, split).figure;
            EXPECT_LE(f.extended * 100, f.total * 1) << corpus << Hits(f);
        }
        for (const char* corpus :
             {"attack command lines (score >= 60)", "attack command lines, variations (score >= 60)"}) {
            const Figure& attack = Find(lines, corpus, split).figure;
            EXPECT_GE(attack.extended * 100, attack.total * 80) << corpus;
            EXPECT_EQ(attack.specifiedOnly, 0u) << corpus;
        }
    }
    // The variations: every mass rename caught, every note drop, every
    // must-catch single note in its one folder; at most one everyday name or
    // rename flagged over both everyday variation parts.
    {
        SCOPED_TRACE("variations");
        for (const char* corpus :
             {"ransomware renames, three files (mass_rename)", "ransom note drops (4 folders)"}) {
            const Figure& f = Find(lines, corpus, "variations").figure;
            EXPECT_EQ(f.extended, f.total) << corpus;
        }
        const Figure& renames = Find(lines, "everyday renames", "variations").figure;
        const Figure& names = Find(lines, "everyday names", "variations").figure;
        EXPECT_LE(renames.extended + names.extended, 1u) << Hits(renames) << Hits(names);
        for (const Row& c : Cases(kRansomNotesVariations)) {
            if (c.size() > 1 && c[1].compare(0, 10, L"must-catch") == 0) {
                EXPECT_TRUE(Play(DropInto(c[0], {L"Projects"})).extended) << WideToUtf8(c[0]);
            }
        }
    }
    size_t everydayTotal = 0, everydayFlagged = 0;
    std::string everydayHits;
    for (const char* corpus :
         {"everyday command lines (score >= 60)", "everyday command lines, variations (score >= 60)"})
        for (const char* split : {"tuning", "held-out"}) {
            const Figure& f = Find(lines, corpus, split).figure;
            everydayTotal += f.total;
            everydayFlagged += f.extended;
            everydayHits += Hits(f);
        }
    EXPECT_GE(everydayTotal, 80u);
    EXPECT_LE(everydayFlagged, 1u) << everydayHits;
}
