// Arbitrary command lines through the whole program on the simulated Windows.
//
// The first input byte picks how the rest becomes a command line:
//   bit 0 clear  the rest, read as little-endian UTF-16 units, is the line;
//                bit 1 puts a program name in front of it;
//   bit 0 set    the rest, split at every double quote, is a program name and
//                a list of file names, each of which the line quotes; bits 1
//                and 2 give the number of leading spaces.
// Every run must end through ExitProcess with 0, 1 or 2, leave nothing but the
// program's own texts on standard output and standard error, and agree with
// what the simulated disk holds; a list of names must parse into exactly
// those names, in order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "frontend/command_line.h"
#include "tests/sim/sim_windows.h"
#include "tests/sim/texts.h"

extern "C" void Start();

namespace {

using namespace texts;

constexpr size_t LINE_UNITS = 32766;  // the platform's limit, less the NUL
const std::string TIME_BELOW_RESOLUTION = "< 0.01";

// ---- The simulated disk ----

// Files whose verdict follows from their contents and reparse data alone.
struct Known {
    std::string contents;
    std::vector<uint8_t> reparse;  // empty: not a reparse point
};

std::string BigContents(char last) {
    std::string contents(65536 + 100, '\0');  // two chunks at the default granularity
    for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 131 >> 3);
    contents.back() = last;
    return contents;
}

const std::string SAME_BYTES = "same bytes\n";

const std::map<std::u16string, Known>& KnownFiles() {
    static const std::map<std::u16string, Known> files = {
        {u"a", {SAME_BYTES, {}}},
        {u"b", {SAME_BYTES, {}}},
        {u"c", {"same bytez\n", {}}},
        {u"d", {"a longer file\n", {}}},
        {u"e", {"", {}}},
        {u"f", {"", {}}},
        {u"l", {SAME_BYTES, {1, 2, 3}}},
        {u"m", {SAME_BYTES, {1, 2, 3}}},
        {u"n", {SAME_BYTES, {1, 2, 4}}},
        {u"big1", {BigContents('x'), {}}},
        {u"big2", {BigContents('x'), {}}},
        {u"big3", {BigContents('y'), {}}},
    };
    return files;
}

const std::u16string HELD = u"h";  // another process holds it open for writing

// A fresh machine with the known files, three that cannot be opened and four
// whose reading fails in different places. Every other name is missing.
void Populate() {
    sim::Reset();
    for (const auto& [name, known] : KnownFiles()) {
        sim::File& file = sim::AddFile(name, known.contents);
        if (!known.reparse.empty()) file.reparseData = known.reparse;
    }
    sim::AddFile(u"g", "").directory = true;
    sim::AddFile(HELD, SAME_BYTES);
    sim::HoldOpen(HELD, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    sim::AddFile(u"p", SAME_BYTES).accessDenied = true;
    sim::AddFile(u"i", SAME_BYTES).sizeFails = true;
    sim::AddFile(u"j", SAME_BYTES).inPageErrorAt = {0};
    sim::AddFile(u"k", SAME_BYTES).mappingFails = true;
    sim::AddFile(u"o", SAME_BYTES).reparseError = 5;
}

bool Openable(const std::u16string& name) {
    if (name == u"CONOUT$") return sim::W().console.present;
    const auto it = sim::W().files.find(name);
    return it != sim::W().files.end() && !it->second.directory && !it->second.accessDenied &&
           name != HELD;
}

// The command line lives in the simulation's string; trimmed to its length,
// its heap block ends right after the NUL, so a read past it is an overflow.
sim::Outcome Run(const std::u16string& line, const std::function<void()>& procedure) {
    sim::W().commandLine = line;
    sim::W().commandLine.shrink_to_fit();
    return sim::Run(procedure);
}

// ---- Reading the outcome ----

struct Opened {
    std::u16string name;
    bool reparsePoint;  // opened as the reparse point itself
};

[[noreturn]] void Violated(const std::string& property, const std::u16string& line,
                           const sim::Outcome& outcome) {
    const std::string text = sim::Utf8(line);
    std::fprintf(stderr,
                 "\n*** property failed: %s\n*** command line (%zu units, UTF-8): [%.2000s]%s\n"
                 "*** returned %d, exit code %d, crash code 0x%x\n*** stdout: [%.2000s]\n"
                 "*** stderr: [%.2000s]\n",
                 property.c_str(), line.size(), text.c_str(), text.size() > 2000 ? "..." : "",
                 outcome.returned, outcome.exitCode ? static_cast<int>(*outcome.exitCode) : -1,
                 outcome.crashCode ? static_cast<unsigned>(*outcome.crashCode) : 0u,
                 sim::W().out.bytes.c_str(), sim::W().err.bytes.c_str());
    std::abort();
}

// The files the program opened, in order, without the console. Files are
// only ever opened for reading and shared for reading.
std::vector<Opened> OpenedFiles(const std::u16string& line, const sim::Outcome& outcome) {
    static const sim::Numbers CONSOLE = {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, 0,
                                         OPEN_EXISTING, 0, 0};
    std::vector<Opened> opened;
    for (const sim::Call& call : sim::Calls(sim::Api::CreateFileW)) {
        if (call.object == u"CONOUT$" && call.args == CONSOLE) continue;
        const uint64_t flags = call.args[4];
        if (call.args != sim::Numbers{GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, flags, 0}) {
            Violated("a file is opened other than for shared reading", line, outcome);
        }
        if ((flags & ~FILE_FLAG_OPEN_REPARSE_POINT) != FILE_FLAG_SEQUENTIAL_SCAN) {
            Violated("unexpected open flags", line, outcome);
        }
        opened.push_back({call.object, (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0});
    }
    return opened;
}

// Whether the bytes are the OEM conversion of the units: ASCII stays as it is,
// anything else becomes some byte of the upper half or a question mark.
bool Converts(const std::string& bytes, const char16_t* units, size_t length) {
    if (bytes.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<uint8_t>(bytes[i]);
        if (units[i] < 0x80 ? byte != units[i] : byte != '?' && byte < 0x80) return false;
    }
    return true;
}

bool Converts(const std::string& bytes, const std::u16string& units) {
    return Converts(bytes, units.data(), units.size());
}

bool StartsWith(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

// The variable part of a message of the form head + part + tail.
std::optional<std::string> Between(const std::string& text, const std::string& head,
                                   const std::string& tail) {
    if (text.size() < head.size() + tail.size() || !StartsWith(text, head) ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
        return std::nullopt;
    }
    return text.substr(head.size(), text.size() - head.size() - tail.size());
}

bool IsTimingLine(const std::string& text) {
    if (text == TIME_NOT_AVAILABLE) return true;
    const auto value = Between(text, TIME_HEAD, TIME_TAIL);
    if (!value) return false;
    if (*value == TIME_BELOW_RESOLUTION) return true;
    const size_t dot = value->find('.');
    if (dot == 0 || dot == std::string::npos || value->size() != dot + 3) return false;
    for (size_t i = 0; i < value->size(); ++i) {
        if (i != dot && ((*value)[i] < '0' || (*value)[i] > '9')) return false;
    }
    return true;
}

// The verdict that the opened files call for, or nothing when one of them is
// a file whose reading was made to fail.
std::optional<std::string> ExpectedVerdict(const std::vector<Opened>& opened) {
    std::vector<const Known*> files;
    for (const Opened& file : opened) {
        const auto it = KnownFiles().find(file.name);
        if (it == KnownFiles().end()) return std::nullopt;
        files.push_back(&it->second);
    }
    for (const Known* file : files) {
        if (file->contents.size() != files[0]->contents.size()) return SIZES;
    }
    // Differing reparse data counts as different contents.
    if (opened[0].reparsePoint) {
        for (const Known* file : files) {
            if (file->reparse != files[0]->reparse) return CONTENTS;
        }
    }
    for (const Known* file : files) {
        if (file->contents != files[0]->contents) return CONTENTS;
    }
    return SAME;
}

// The properties every run must have, whatever its command line.
void CheckRun(const std::u16string& line, const sim::Outcome& outcome) {
    if (outcome.returned) Violated("the entry point returned", line, outcome);
    if (outcome.crashCode) Violated("the run crashed", line, outcome);
    if (!outcome.exitCode) Violated("the run did not exit", line, outcome);
    const UINT exit = *outcome.exitCode;
    if (exit > 2) Violated("exit code out of range", line, outcome);

    const std::string& out = sim::W().out.bytes;
    const std::string& err = sim::W().err.bytes;
    const std::vector<Opened> opened = OpenedFiles(line, outcome);
    if ((exit == 2) != !err.empty()) {
        Violated("exit code 2 if and only if an error message", line, outcome);
    }

    if (!err.empty()) {
        if (!out.empty()) Violated("output beside an error message", line, outcome);
        const bool parseError =
            err == TOO_FEW || StartsWith(err, INVALID_HEAD) || StartsWith(err, DUPLICATED_HEAD);
        if (parseError && !opened.empty()) {
            Violated("a file was opened despite a command-line error", line, outcome);
        }
        const std::u16string given(line.c_str());  // what the program can see: up to the first NUL
        if (err == TOO_FEW) return;
        if (err == READ_ERROR) {
            for (const Opened& file : opened) {
                if (file.name == u"j") return;
            }
            Violated("a read error without the file that has one", line, outcome);
        }
        if (const auto body = Between(err, INVALID_HEAD, OPTION_TAIL)) {
            // The body stands on the line between a switch mark and the end
            // of its token: the end of the line, a space or a slash.
            for (size_t start = 1, end; (end = start + body->size()) <= given.size(); ++start) {
                const char16_t mark = given[start - 1];
                if ((mark == u'/' || mark == u'-') &&
                    (end == given.size() || given[end] == u' ' || given[end] == u'/') &&
                    Converts(*body, given.data() + start, body->size())) {
                    return;
                }
            }
            Violated("the invalid option's body is no whole switch body of the command line", line,
                     outcome);
        }
        if (const auto body = Between(err, DUPLICATED_HEAD, OPTION_TAIL)) {
            if (body->size() == 1 && std::string("QqTtRr").find((*body)[0]) != std::string::npos) {
                return;
            }
            Violated("a duplicated option that is no switch", line, outcome);
        }
        if (const auto name = Between(err, FILE_HEAD, OPEN_TAIL)) {
            if (opened.empty() || !Converts(*name, opened.back().name)) {
                Violated("the file that cannot be opened is not the one opened last", line,
                         outcome);
            }
            if (Openable(opened.back().name)) {
                Violated("an openable file cannot be opened", line, outcome);
            }
            return;
        }
        if (const auto name = Between(err, FILE_HEAD, READ_TAIL)) {
            for (const Opened& file : opened) {
                if (Converts(*name, file.name) && Openable(file.name)) return;
            }
            Violated("the file that cannot be read was never opened", line, outcome);
        }
        Violated("standard error holds no message of the program", line, outcome);
    }

    if (out == HELP) {
        if (exit != 0) Violated("help with a nonzero exit code", line, outcome);
        if (!opened.empty()) Violated("a file was opened before the help text", line, outcome);
        return;
    }
    // A verdict, a timing line, both in that order, or nothing (switch Q).
    std::string verdict, rest = out;
    for (const std::string* text : {&SAME, &SIZES, &CONTENTS}) {
        if (StartsWith(out, *text)) {
            verdict = *text;
            rest = out.substr(text->size());
        }
    }
    if (!rest.empty() && !IsTimingLine(rest)) {
        Violated("standard output holds no text of the program", line, outcome);
    }
    if (!verdict.empty() && (exit == 0) != (verdict == SAME)) {
        Violated("verdict and exit code disagree", line, outcome);
    }
    if (opened.size() < 2) Violated("a comparison of fewer than two files", line, outcome);
    if (const auto expected = ExpectedVerdict(opened)) {
        if ((exit == 0) != (*expected == SAME)) {
            Violated("wrong exit code for these files", line, outcome);
        }
        if (!verdict.empty() && verdict != *expected) {
            Violated("wrong verdict for these files", line, outcome);
        }
    }
}

// ---- The two ways an input becomes a command line ----

std::u16string Units(const uint8_t* data, size_t size) {
    std::u16string units;
    for (size_t i = 0; i + 1 < size && units.size() < LINE_UNITS; i += 2) {
        units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    return units;
}

void RawLine(uint8_t mode, const uint8_t* data, size_t size) {
    std::u16string line = (mode & 2) ? u"DUVAK.EXE " : u"";
    line += Units(data, size);
    if (line.size() > LINE_UNITS) line.resize(LINE_UNITS);
    Populate();
    CheckRun(line, Run(line, [] { Start(); }));
}

void NameList(uint8_t mode, const uint8_t* data, size_t size) {
    std::vector<std::u16string> pieces(1);
    for (char16_t unit : Units(data, size)) {
        if (unit == u'"') {
            pieces.emplace_back();
        } else if (unit != 0) {
            pieces.back() += unit;
        }
    }
    std::u16string program = pieces[0].empty() ? u"DUVAK" : pieces[0];
    // A bare program name ends at a space or a slash; any other is quoted.
    if (program.find_first_of(u" /") != std::u16string::npos) program = u"\"" + program + u"\"";
    std::u16string line = std::u16string((mode >> 1) & 3, u' ') + program;
    if (line.size() > LINE_UNITS) line.resize(LINE_UNITS);
    std::vector<std::u16string> names;
    for (size_t i = 1; i < pieces.size() && line.size() + pieces[i].size() + 3 <= LINE_UNITS; ++i) {
        line += u" \"" + pieces[i] + u"\"";
        names.push_back(pieces[i]);
    }

    // The parse alone: the ring holds exactly the names, in order, each in a
    // block sized for its name.
    Populate();
    FileEntry* head = nullptr;
    OptionFlags flags = ~0u;
    sim::Outcome outcome = Run(line, [&] { ParseCommandLine(&head, &flags); });
    if (names.size() < 2) {
        if (outcome.exitCode != 2u || sim::W().err.bytes != TOO_FEW) {
            Violated("fewer than two names parsed", line, outcome);
        }
    } else {
        if (!outcome.returned) {
            Violated("the parse of a list of names did not return", line, outcome);
        }
        if (flags != 0) Violated("switches found in a list of names", line, outcome);
        if (sim::W().allocations.size() != names.size()) {
            Violated("one block per name", line, outcome);
        }
        const FileEntry* entry = head;
        for (size_t i = 0; i < names.size(); ++i, entry = entry->next) {
            if (entry->name != names[i]) {
                Violated("name " + std::to_string(i) + " parsed wrong", line, outcome);
            }
            if (sim::W().allocations[i] !=
                sizeof(FileEntry) + sizeof(WCHAR) * (names[i].size() + 1)) {
                Violated("block " + std::to_string(i) + " sized wrong", line, outcome);
            }
        }
        if (entry != head) Violated("the ring does not close after the last name", line, outcome);
    }

    // The whole program: the files are opened in the order named, up to the
    // first one that cannot be opened.
    Populate();
    outcome = Run(line, [] { Start(); });
    CheckRun(line, outcome);
    if (names.size() < 2) return;
    const std::vector<Opened> opened = OpenedFiles(line, outcome);
    size_t expected = 0;
    while (expected < names.size() && Openable(names[expected])) ++expected;
    if (expected < names.size()) ++expected;  // the one that failed
    if (opened.size() != expected) {
        Violated("files opened: " + std::to_string(opened.size()), line, outcome);
    }
    for (size_t i = 0; i < expected; ++i) {
        if (opened[i].name != names[i] || opened[i].reparsePoint) {
            Violated("file " + std::to_string(i) + " opened wrong", line, outcome);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t mode = size == 0 ? 0 : data[0];
    if (size != 0) {
        ++data;
        --size;
    }
    if (mode & 1) {
        NameList(mode, data, size);
    } else {
        RawLine(mode, data, size);
    }
    // Everything the run allocated goes back now, so that each input starts
    // and ends with the same blocks in use and no leak check is set off.
    sim::Reset();
    return 0;
}
