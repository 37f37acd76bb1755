// Writes the sample report to the path given (the golden file, or a page for
// the screenshot): report_sample OUT.html
#include <cstdio>

#include "report_sample.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: report_sample OUT.html\n");
        return 2;
    }
    const std::string page = ComposeReport(SampleReportInputs());
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(page.data(), 1, page.size(), f) == page.size();
    return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
