#include "report_sample.h"

ReportInputs SampleReportInputs() {
    ReportInputs in;
    in.generated = "2026-03-14T18:30:05";
    in.isAdmin = false;
    const char* docs = "C:\\Users\\Ana O'Neil & <Co>\\Documents";
    in.incidents = {
        {"2026-03-14T17:58:12", "canary_file_touched", 90, docs, "vellumgard_do_not_touch.txt", ""},
        {"2026-03-14T16:40:03", "file_burst", 80, "C:\\Users\\Ana O'Neil & <Co>\\Downloads", "", ""},
        {"2026-03-14T15:12:44", "process_heuristic", 75, "", "", ""},
        {"2026-03-14T13:05:09", "dir_file_heuristic", 65, "C:\\Users\\Ana O'Neil & <Co>\\Desktop\\",
         "HOW_TO_DECRYPT <script>alert(\"pwned\")</script>.txt", ""},
        {"2026-03-14T11:47:30", "dir_file_heuristic", 40, "D:/Shared/Tom & Jerry's \"Q1\"/",
         "budget.xlsx.locked", ""},
        {"2026-03-14T10:20:00", "usb_autorun", 85, "E:\\", "autorun.inf", ""},
        {"2026-03-14T09:02:17", "File_Burst", -5, "", "notes & <draft>.txt", ""},
    };
    in.logTail = {
        "{\"ts\":\"2026-03-14T08:00:01\",\"product\":\"Vellumgard\",\"version\":\"Public "
        "v1\",\"type\":\"startup\","
        "\"msg\":\"Vellumgard core started (lite)\"}",
        "{\"ts\":\"2026-03-14T13:05:09\",\"product\":\"Vellumgard\",\"version\":\"Public "
        "v1\",\"type\":\"dir_change\","
        "\"folder\":\"C:\\\\Users\\\\Ana O'Neil & <Co>\\\\Desktop\\\\\",\"file\":\"HOW_TO_DECRYPT "
        "<script>alert(\\\"pwned\\\")</script>.txt\",\"action\":\"added\"}",
        "{\"ts\":\"2026-03-14T15:12:44\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"type\":"
        "\"proc_suspicious\",\"image\":\"powershell.exe\",\"cmd\":\"powershell -enc SQBFAFgA -c \\\"a<b && "
        "c>d\\\"\",\"score\":75}",
        "",
        "{\"ts\":\"2026-03-14T17:58:12\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"type\":"
        "\"incident_created\",\"reason\":\"canary_file_touched\",\"severity\":90}",
    };
    in.dataDir = "C:\\Users\\Ana O'Neil & <Co>\\AppData\\Local\\Vellumgard";
    in.logFile = in.dataDir + "\\Vellumgard.log.jsonl";
    in.configFile = in.dataDir + "\\Vellumgard.config.json";
    return in;
}
