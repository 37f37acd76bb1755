#include "report/incident_explanations.h"

// Non-ASCII characters of the step lists, as UTF-8. Kept as separate literals
// so that a following letter is never read as part of a hex escape.
#define VG_NB_HYPHEN "\xE2\x80\x91"   // U+2011 NON-BREAKING HYPHEN
#define VG_APOSTROPHE "\xE2\x80\x99"  // U+2019 RIGHT SINGLE QUOTATION MARK
#define VG_ARROW "\xE2\x86\x92"       // U+2192 RIGHTWARDS ARROW
#define VG_EM_DASH "\xE2\x80\x94"     // U+2014 EM DASH

namespace {

enum class Reason { Canary, Burst, Process, DirFile, EncryptedContent, MassRename, Other };

// Exact, case-sensitive match of the whole string.
Reason ClassifyReason(const std::string& reason) {
    if (reason == "canary_file_touched") return Reason::Canary;
    if (reason == "file_burst") return Reason::Burst;
    if (reason == "process_heuristic") return Reason::Process;
    if (reason == "dir_file_heuristic") return Reason::DirFile;
    if (reason == "encrypted_content") return Reason::EncryptedContent;
    if (reason == "mass_rename") return Reason::MassRename;
    return Reason::Other;
}

}  // namespace

std::string IncidentTitle(const std::string& reason) {
    switch (ClassifyReason(reason)) {
        case Reason::Canary:
            return "High-confidence alert: Canary file changed";
        case Reason::Burst:
            return "Mass file changes detected (possible ransomware pattern)";
        case Reason::Process:
            return "Suspicious process behavior detected";
        case Reason::DirFile:
            return "Suspicious file pattern detected";
        case Reason::EncryptedContent:
            return "Files overwritten with unreadable content (possible ransomware encryption)";
        case Reason::MassRename:
            return "Many files renamed to one new extension (possible ransomware encryption)";
        case Reason::Other:
            break;
    }
    return "Security event detected";
}

std::string IncidentDescription(const IncidentSummary& incident) {
    switch (ClassifyReason(incident.reason)) {
        case Reason::Canary:
            return "A protected canary file (a file you should never touch) was modified, renamed, or "
                   "deleted. "
                   "This is a strong indicator of automated or malicious activity.";
        case Reason::Burst:
            return "A large number of file changes happened in a short time in Desktop/Documents/Downloads. "
                   "This pattern is commonly seen during ransomware encryption waves and destructive cleanup "
                   "scripts.";
        case Reason::Process:
            return "A program launch matched suspicious command-line patterns (for example script engines, "
                   "encoded commands, or commonly abused Windows tools).";
        case Reason::DirFile:
            return "A filename or extension matched suspicious patterns (for example ransom-note-like names "
                   "or "
                   "encrypted-looking extensions).";
        case Reason::EncryptedContent:
            return "Files in a watched folder were rewritten so that their content no longer matches their "
                   "type (a document, picture or archive that now holds random-looking bytes). This is how "
                   "ransomware encrypts files in place while keeping their names.";
        case Reason::MassRename:
            return "Several of your documents, pictures or archives were given the same new extension within "
                   "a minute (for example report.docx became report.docx.locked), in one or more watched "
                   "folders. This is how most ransomware marks the files it has encrypted.";
        case Reason::Other:
            break;
    }
    return "Vellumgard detected behavior that may indicate a security issue.";
}

std::string IncidentAdvice(const IncidentSummary& incident) {
    if (ClassifyReason(incident.reason) == Reason::Canary) {
        return "If you did not change this file yourself: disconnect from the internet, close unfamiliar "
               "apps, "
               "run a full antivirus scan, and review recent downloads/attachments. If alerts repeat, back "
               "up "
               "important files immediately (do not overwrite existing backups).";
    }
    if (ClassifyReason(incident.reason) == Reason::MassRename) {
        return "If you did not rename these files yourself: disconnect from the internet, close unfamiliar "
               "apps, and do not rename, open or delete more files. Run a full antivirus scan, then check "
               "whether the named file still opens; restore renamed files from a backup only after the scan "
               "is clean (do not overwrite existing backups).";
    }
    if (ClassifyReason(incident.reason) == Reason::EncryptedContent) {
        return "If you did not encrypt these files yourself: disconnect from the internet, close unfamiliar "
               "apps, and do not open or edit more files in that folder. Run a full antivirus scan, then "
               "check whether the named file still opens; restore damaged files from a backup only after "
               "the scan is clean (do not overwrite existing backups).";
    }
    if (incident.severity >= 80) {
        return "If you did not expect this: disconnect from the internet, close unfamiliar apps, run a full "
               "antivirus scan, and review recent downloads and email attachments. Avoid repeated reboots if "
               "you suspect ransomware" VG_EM_DASH "focus on backup and scanning first.";
    }
    if (incident.severity >= 50) {
        return "Review what you were doing at that time. If anything looks unfamiliar, run a security scan, "
               "remove suspicious downloads, and check browser extensions or recently installed apps.";
    }
    return "Monitor for repeat alerts. If you see more incidents, run a security scan and review recent "
           "installs/downloads.";
}

std::string LikelyCause(const std::string& reason) {
    switch (ClassifyReason(reason)) {
        case Reason::Canary:
            return "A protected canary file changed (high-confidence signal of automated or malicious "
                   "activity).";
        case Reason::Burst:
            return "A rapid wave of file changes was detected (pattern can match ransomware encryption or "
                   "destructive scripts).";
        case Reason::Process:
            return "A program launch matched suspicious command-line patterns (scripts/encoded "
                   "commands/abused "
                   "system tools).";
        case Reason::DirFile:
            return "A suspicious filename/extension was detected (often seen with ransom notes or encrypted "
                   "file naming).";
        case Reason::EncryptedContent:
            return "Files were overwritten with encrypted-looking content (pattern matches ransomware "
                   "encrypting files in place).";
        case Reason::MassRename:
            return "Several files were renamed to one new extension within a minute (pattern matches "
                   "ransomware marking the files it encrypted).";
        case Reason::Other:
            break;
    }
    return "Suspicious behavior was detected.";
}

std::string IncidentStepsHtml(const IncidentSummary& incident) {
    switch (ClassifyReason(incident.reason)) {
        case Reason::Canary:
            return "<ul class=\"steps\">"
                   "<li><b>Disconnect from the internet</b> if you did not expect this (Wi" VG_NB_HYPHEN
                   "Fi / cable).</li>"
                   "<li><b>Close unfamiliar apps</b>, especially anything installed recently.</li>"
                   "<li><b>Run a full antivirus scan</b> (not a quick scan).</li>"
                   "<li>Check <b>Recent downloads</b> and email attachments from the last 24h.</li>"
                   "<li>Make a <b>backup of important files</b> (do not overwrite existing backups).</li>"
                   "</ul>";
        case Reason::Burst:
            return "<ul class=\"steps\">"
                   "<li>If this wasn" VG_APOSTROPHE
                   "t a big copy/unzip you started: <b>disconnect from the internet</b>.</li>"
                   "<li><b>Run a full antivirus scan</b>.</li>"
                   "<li>Look for unusual disk activity and unknown apps; close anything suspicious.</li>"
                   "<li>Verify backups (avoid overwriting backups if you suspect ransomware).</li>"
                   "</ul>";
        case Reason::Process:
            return "<ul class=\"steps\">"
                   "<li>Open Task Manager and review <b>recently started apps</b>.</li>"
                   "<li>If you see something unfamiliar, <b>close it</b> and run a full antivirus scan.</li>"
                   "<li>Review <b>Startup apps</b> (Task Manager " VG_ARROW
                   " Startup) and browser extensions.</li>"
                   "<li>Check recent downloads/installs and remove anything suspicious.</li>"
                   "</ul>";
        case Reason::DirFile:
            return "<ul class=\"steps\">"
                   "<li>If you recognize the file and it" VG_APOSTROPHE
                   "s expected, you can ignore this alert.</li>"
                   "<li>If it" VG_APOSTROPHE
                   "s unexpected: <b>run a full antivirus scan</b>.</li>"
                   "<li>Review recent downloads and email attachments; delete anything suspicious.</li>"
                   "<li>If you see repeated alerts, consider disconnecting from the internet and backing up "
                   "important files.</li>"
                   "</ul>";
        case Reason::EncryptedContent:
            return "<ul class=\"steps\">"
                   "<li>If you did not encrypt these files yourself: <b>disconnect from the "
                   "internet</b>.</li>"
                   "<li>Try to open the file named in the incident; if it no longer opens, "
                   "<b>close unfamiliar apps</b> and stop editing files.</li>"
                   "<li><b>Run a full antivirus scan</b> (not a quick scan).</li>"
                   "<li>Check <b>Recent downloads</b> and email attachments from the last 24h.</li>"
                   "<li>Restore damaged files from a <b>backup</b> only after the scan is clean (do not "
                   "overwrite existing backups).</li>"
                   "<li>If you just made a password" VG_NB_HYPHEN
                   "protected archive or used an encryption tool on these files, you can ignore this "
                   "alert.</li>"
                   "</ul>";
        case Reason::MassRename:
            return "<ul class=\"steps\">"
                   "<li>If you did not rename these files yourself: <b>disconnect from the "
                   "internet</b>.</li>"
                   "<li><b>Close unfamiliar apps</b> and stop editing files; do not rename the files back "
                   "or delete them.</li>"
                   "<li><b>Run a full antivirus scan</b> (not a quick scan).</li>"
                   "<li>Check <b>Recent downloads</b> and email attachments from the last 24h.</li>"
                   "<li>Restore renamed files from a <b>backup</b> only after the scan is clean (do not "
                   "overwrite existing backups).</li>"
                   "<li>If a tool you trust just renamed a batch of files (a photo organiser, a "
                   "backup or sync program), you can ignore this alert.</li>"
                   "</ul>";
        case Reason::Other:
            break;
    }
    if (incident.severity >= 80) {
        return "<ul class=\"steps\">"
               "<li><b>Disconnect from the internet</b> if you did not expect this.</li>"
               "<li><b>Run a full antivirus scan</b>.</li>"
               "<li>Review recent downloads and newly installed apps.</li>"
               "</ul>";
    }
    return "<ul class=\"steps\">"
           "<li>Monitor for repeat alerts.</li>"
           "<li>If you see more incidents, run a full antivirus scan and review recent "
           "installs/downloads.</li>"
           "</ul>";
}

std::string GeneralStepsHtml() {
    return "<ul class=\"steps\">"
           "<li>Keep Vellumgard running in the tray.</li>"
           "<li>Keep Windows and browsers up to date.</li>"
           "<li>Maintain backups of important files.</li>"
           "<li>Run periodic antivirus scans.</li>"
           "</ul>";
}

SeverityBandInfo SeverityBand(int32_t severity) {
    if (severity >= 90) return {"Critical", "critical"};
    if (severity >= 80) return {"High", "high"};
    if (severity >= 50) return {"Medium", "med"};
    return {"Low", "low"};
}

bool TopIncident(const std::vector<IncidentSummary>& incidents, IncidentSummary& top) {
    if (incidents.empty()) return false;
    size_t best = 0;
    for (size_t i = 1; i < incidents.size(); ++i) {
        if (incidents[i].severity > incidents[best].severity) best = i;
    }
    top = incidents[best];
    return true;
}
