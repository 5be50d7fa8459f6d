// fuzz_parsers.cpp -- coverage-guided fuzzing of every parser that reads
// bytes someone else wrote: the drop files (with their write-back), the
// settings file, profiles, handles, score and leaderboard tables, the
// command-line splitter and the chat client's JSON reader. The first byte
// picks the parser; the rest is the file. Any crash, overrun or undefined
// behaviour is a finding.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ODCmdLn.h"
#include "ODInEx2.h"
#include "doorkit.h"
#include "interbbs.h"
#include "profile.h"
#include "qorb_json.h"
#include "scores.h"
#include "scores_io.h"
#include "storage.h"

namespace {

const char *const kDropFiles[] = {"DOOR32.SYS",   "DOOR.SYS",    "DORINFO1.DEF", "CHAIN.TXT",    "CALLINFO.BBS",
                                  "SFDOORS.DAT",  "EXITINFO.BBS", "BBSDEV.DRP",  "DORINFO3.DEF", "USERINFO.DAT"};
const int kDropKinds = (int)(sizeof kDropFiles / sizeof kDropFiles[0]);

enum { kConfig = kDropKinds, kProfile, kHandle, kScores, kBoard, kCommandLine, kJson, kChoices };

// The files go to a directory of the fuzzer's own in the current one,
// used again by the next run.
const std::string &WorkDir()
{
    static std::string dir;
    if (dir.empty()) {
        dir = "fuzz-parsers-work";
        mkdir(dir.c_str(), 0700);
        mkdir((dir + "/data").c_str(), 0700);
    }
    return dir;
}

std::string WriteFile(const std::string &name, const uint8_t *data, size_t size)
{
    std::string path = WorkDir() + "/" + name;
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) abort();
    if (size) fwrite(data, 1, size, file);
    fclose(file);
    return path;
}

void DropFile(int kind, const uint8_t *data, size_t size)
{
    std::string path = WriteFile(kDropFiles[kind], data, size);
    ODControl before = od_control;
    if (strcmp(kDropFiles[kind], "BBSDEV.DRP") == 0)
        ODInitReadBBSDevDropFile(path.c_str());
    else if (ODDropFileReadPath(path.c_str()) == 1)
        ODDropFileWriteBack(60, 0);
    ODDropFileRelease();
    od_control = before;
    unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    int choice = data[0] % kChoices;
    data++, size--;
    std::string text((const char *)data, size);  // the parsers below stop at a NUL, as on a C string

    if (choice < kDropKinds) {
        DropFile(choice, data, size);
    } else if (choice == kConfig) {
        config_scan(text.c_str());
    } else if (choice == kProfile) {
        char handle[128];
        int gender_read, class_read;
        profile_parse_line(text.c_str(), handle, sizeof handle, &gender_read, &class_read);
        profile_load(WriteFile("data/profile.tsv", data, size).c_str());
    } else if (choice == kHandle) {
        handle_run runs[HANDLE_RUNS_MAX];
        handle_layout((int)(size % 90), text.c_str(), runs, HANDLE_RUNS_MAX);
        handle_colour_code(text.c_str());
        make_plain_handle(text.c_str());
    } else if (choice == kScores) {
        score_entry entry;
        score_parse_line(text.c_str(), &entry);
        static score_entry entries[600];
        read_scores_file(WriteFile("scores.tsv", data, size).c_str(), entries, 600);
    } else if (choice == kBoard) {
        interbbs_row row;
        interbbs_parse_row(text.c_str(), &row);
        static interbbs_row rows[600];
        interbbs_read_rows(WriteFile("board.tsv", data, size).c_str(), rows, 600);
    } else if (choice == kJson) {
        static cj_doc doc;
        if (cj_parse(&doc, text.c_str())) {
            char value[64];
            cj_get(&doc, "status", value, sizeof value);
            cj_get(&doc, "", value, 1);
            cj_number(&doc, "since");
        }
    } else {
        std::basic_string<tODWideChar> wide;
        for (size_t i = 0; i + 1 < size; i += 2) wide.push_back((tODWideChar)(data[i] | data[i + 1] << 8));
        int argc = 0;
        free(ODCmdLnSplitPortable(wide.c_str(), &argc, nullptr));
        ODGetCommandLineParameter(text.c_str());
        long value;
        tsv_parse_int(text.c_str(), &value, 0);
        tsv_parse_int(text.c_str(), &value, 1);
    }
    return 0;
}
