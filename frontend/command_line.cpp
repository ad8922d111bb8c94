#include "frontend/command_line.h"

#include "frontend/console_output.h"
#include "frontend/messages.h"

namespace {

const WCHAR* SkipSpaces(const WCHAR* p) {
    while (*p == u' ') ++p;
    return p;
}

// A token starts at a non-space character and ends before an unquoted space
// or slash, or at the NUL. Double quotes flip the quoted state and stay in the
// token; the first character is never tested for a slash, so a token may
// begin with one.
const WCHAR* TokenEnd(const WCHAR* start) {
    bool quoted = *start == u'"';
    const WCHAR* p = start + 1;
    for (; *p != 0; ++p) {
        if (*p == u'"') quoted = !quoted;
        if (!quoted && (*p == u' ' || *p == u'/')) break;
    }
    return p;
}

bool IsSwitchMark(WCHAR ch) { return ch == u'/' || ch == u'-'; }

// The help switch wins wherever it stands, even after a switch error.
void ExitIfHelp(const WCHAR* start, const WCHAR* end) {
    if (end - start == 2 && IsSwitchMark(start[0]) && start[1] == u'?') {
        Print(TEXT_HELP, nullptr);
        ExitProcess(EXIT_CODE_SAME);
    }
}

OptionFlags SwitchBit(WCHAR letter) {
    switch (letter) {
        case u'Q': case u'q': return OPT_QUIET;
        case u'T': case u't': return OPT_TIMING;
        case u'R': case u'r': return OPT_REPARSE;
        default: return 0;
    }
}

// Only the first switch error is reported, after the rest of the line has
// been scanned for a help switch. The body is copied into this frame because
// the command line holds it without a terminating NUL.
[[noreturn]] void FailSwitch(LPCWSTR message, const WCHAR* body, const WCHAR* bodyEnd) {
    const size_t length = bodyEnd - body;
    WCHAR copy[length + 1];
    for (size_t i = 0; i < length; ++i) copy[i] = body[i];
    copy[length] = 0;
    for (const WCHAR* p = SkipSpaces(bodyEnd); *p != 0; p = SkipSpaces(p)) {
        const WCHAR* end = TokenEnd(p);
        ExitIfHelp(p, end);
        p = end;
    }
    Fail(message, TEXT_OPTION_HEAD, copy, TEXT_OPTION_TAIL, nullptr);
}

FileEntry* NewEntry(const WCHAR* start, const WCHAR* end) {
    size_t units = 0;
    for (const WCHAR* p = start; p != end; ++p) units += *p != u'"';
    auto* entry = static_cast<FileEntry*>(
        LocalAlloc(LMEM_FIXED, sizeof(FileEntry) + sizeof(WCHAR) * (units + 1)));
    if (entry == nullptr) Fail(TEXT_NOT_ENOUGH_MEMORY, nullptr);
    WCHAR* out = entry->name;
    for (const WCHAR* p = start; p != end; ++p) {
        if (*p != u'"') *out++ = *p;
    }
    *out = 0;
    return entry;
}

}  // namespace

void ParseCommandLine(FileEntry** head, OptionFlags* flags) {
    *flags = 0;
    const WCHAR* p = SkipSpaces(GetCommandLineW());
    if (*p != 0) p = TokenEnd(p);  // the program name, never examined

    FileEntry* last = nullptr;
    unsigned files = 0;
    for (p = SkipSpaces(p); *p != 0; p = SkipSpaces(p)) {
        const WCHAR* start = p;
        p = TokenEnd(start);
        ExitIfHelp(start, p);
        if (IsSwitchMark(*start)) {
            const WCHAR* body = start + 1;
            const OptionFlags bit = p - body == 1 ? SwitchBit(*body) : 0;
            if (bit == 0) FailSwitch(TEXT_INVALID_OPTION, body, p);
            if (*flags & bit) FailSwitch(TEXT_DUPLICATED_OPTION, body, p);
            *flags |= bit;
            continue;
        }
        FileEntry* entry = NewEntry(start, p);
        if (last == nullptr) {
            entry->next = entry;
        } else {
            entry->next = last->next;
            last->next = entry;
        }
        last = entry;
        ++files;
    }
    if (files < 2) Fail(TEXT_TOO_FEW_FILES, nullptr);
    *head = last->next;
}
