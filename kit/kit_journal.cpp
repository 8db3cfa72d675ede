// The kit's log read back by the kit itself, as its journal: which files,
// folders and keys it was making or made since the log's last "clean" line
// (the last round finished), what became of each, and the folders prepare
// read. Only the kit's own lines are understood: {"kit":KIND,...} with the
// item's name as the first member; any other line is passed over, and so
// is a last line cut short.
#include "kit/kit_work.h"

namespace {

// More than the kit ever writes in a round, many times over.
const DWORD kLongestLog = 1 << 20;
const unsigned kLongestLine = 2048;
const int kWordSize = 16;

struct Cursor {
    const char* at;
    const char* end;
};

bool Take(Cursor& c, const char* text)
{
    const char* at = c.at;
    for (; *text; ++text, ++at)
        if (at >= c.end || *at != *text) return false;
    c.at = at;
    return true;
}

// An ASCII word up to its closing quote, which is taken too.
bool Word(Cursor& c, char* word)
{
    int n = 0;
    while (c.at < c.end && *c.at != '"') {
        if (n == kWordSize - 1) return false;
        word[n++] = *c.at++;
    }
    word[n] = 0;
    return Take(c, "\"");
}

bool SameWord(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool PutUnit(WCHAR* out, int size, int* n, unsigned unit)
{
    if (*n >= size - 1) return false;
    out[(*n)++] = static_cast<WCHAR>(unit);
    return true;
}

bool Hex4(Cursor& c, unsigned* code)
{
    *code = 0;
    for (int i = 0; i < 4; ++i, ++c.at) {
        if (c.at >= c.end) return false;
        const char h = *c.at;
        const unsigned digit = h >= '0' && h <= '9'   ? static_cast<unsigned>(h - '0')
                               : h >= 'a' && h <= 'f' ? static_cast<unsigned>(h - 'a' + 10)
                               : h >= 'A' && h <= 'F' ? static_cast<unsigned>(h - 'A' + 10)
                                                      : 16;
        if (digit == 16) return false;
        *code = *code << 4 | digit;
    }
    return true;
}

// One escape after its backslash: the UTF-16 unit it stands for.
bool Escape(Cursor& c, unsigned* unit)
{
    if (c.at >= c.end) return false;
    const char e = *c.at++;
    switch (e) {
    case '"': *unit = '"'; return true;
    case '\\': *unit = '\\'; return true;
    case '/': *unit = '/'; return true;
    case 'b': *unit = 8; return true;
    case 'f': *unit = 12; return true;
    case 'n': *unit = 10; return true;
    case 'r': *unit = 13; return true;
    case 't': *unit = 9; return true;
    case 'u': return Hex4(c, unit);
    default: return false;
    }
}

// One UTF-8 character after its lead byte: its code point.
bool Utf8(Cursor& c, unsigned lead, unsigned* code)
{
    const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (more < 0 || lead >= 0xF8) return false;
    *code = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i, ++c.at) {
        if (c.at >= c.end || (static_cast<unsigned char>(*c.at) & 0xC0) != 0x80) return false;
        *code = *code << 6 | (static_cast<unsigned char>(*c.at) & 0x3F);
    }
    return *code < 0x110000;
}

// A JSON string after its opening quote, as the kit's log writes it, into
// out (size units, its NUL included); the closing quote is taken too.
bool String(Cursor& c, WCHAR* out, int size)
{
    int n = 0;
    while (c.at < c.end) {
        const unsigned b = static_cast<unsigned char>(*c.at++);
        unsigned code = b;
        if (b == '"') {
            out[n] = 0;
            return true;
        }
        if (b == '\\' ? !Escape(c, &code) : b >= 0x80 && !Utf8(c, b, &code)) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            if (!PutUnit(out, size, &n, 0xD800 + (code >> 10))) return false;
            code = 0xDC00 + (code & 0x3FF);
        }
        if (!PutUnit(out, size, &n, code)) return false;
    }
    return false;
}

// ,"KEY":"STRING" (or null, an empty name) after the members before it.
bool Member(Cursor& c, char* key, WCHAR* value)
{
    if (!Take(c, ",\"") || !Word(c, key) || !Take(c, ":")) return false;
    if (Take(c, "null")) {
        value[0] = 0;
        return true;
    }
    return Take(c, "\"") && String(c, value, MAX_PATH);
}

ItemState StateOfKind(const char* kind)
{
    return SameWord(kind, "making")   ? kStateMaking
           : SameWord(kind, "made")   ? kStateMade
           : SameWord(kind, "exists") ? kStateExists
           : SameWord(kind, "undone") ? kStateUndone
                                      : kStateNone;
}

bool KindOfItem(const char* key, ItemKind* kind)
{
    if (SameWord(key, "file")) *kind = kItemFile;
    else if (SameWord(key, "folder")) *kind = kItemFolder;
    else if (SameWord(key, "key")) *kind = kItemKey;
    else return false;
    return true;
}

// The item's place in the journal, or -1.
int Find(const Journal& journal, ItemKind kind, LPCWSTR name)
{
    for (int i = 0; i < journal.count; ++i)
        if (journal.items[i].kind == kind && SameText(journal.names + journal.items[i].name, name)) return i;
    return -1;
}

void Note(Journal& journal, ItemKind kind, ItemState state, LPCWSTR name)
{
    const int found = Find(journal, kind, name);
    JournalItem* item = found < 0 ? 0 : &journal.items[found];
    if (!item) {
        int length = 0;
        while (name[length]) ++length;
        if (journal.count == kJournalItems || journal.used + length + 1 > kJournalChars) {
            journal.whole = false;  // more than the kit ever names: the rest is not kept
            return;
        }
        item = &journal.items[journal.count++];
        item->kind = static_cast<unsigned char>(kind);
        item->name = static_cast<unsigned short>(journal.used);
        for (int i = 0; i <= length; ++i) journal.names[journal.used++] = name[i];
    }
    item->state = static_cast<unsigned char>(state);
}

void Forget(Journal& journal)
{
    journal.count = journal.used = 0;
    for (int base = 0; base < kPackageBaseCount; ++base) journal.known[base] = false;
}

void ReadFolderLine(Journal& journal, Cursor& c)
{
    char key[kWordSize];
    WCHAR name[MAX_PATH], path[MAX_PATH];
    if (!Member(c, key, name) || !SameWord(key, "name") || !Member(c, key, path) || !SameWord(key, "path"))
        return;
    for (int base = 0; base < kPackageBaseCount; ++base) {
        const char* want = FolderName(base);
        int i = 0;
        while (want[i] && name[i] == static_cast<WCHAR>(want[i])) ++i;
        if (want[i] || name[i]) continue;
        journal.known[base] = path[0] != 0;
        for (i = 0; i < MAX_PATH && (i == 0 || path[i - 1]); ++i) journal.folder[base][i] = path[i];
    }
}

void ReadLine(Journal& journal, const char* text, unsigned length)
{
    Cursor c = {text, text + length};
    char kind[kWordSize], key[kWordSize];
    if (!Take(c, "{\"kit\":\"") || !Word(c, kind)) return;
    if (SameWord(kind, "clean")) {
        Forget(journal);
        return;
    }
    if (SameWord(kind, "folder")) {
        ReadFolderLine(journal, c);
        return;
    }
    const ItemState state = StateOfKind(kind);
    WCHAR name[MAX_PATH];
    ItemKind what;
    if (state != kStateNone && Member(c, key, name) && name[0] && KindOfItem(key, &what))
        Note(journal, what, state, name);
}

// Hands each whole line of buffer (have bytes) to ReadLine; moves what is
// left of a line to the front and returns its length. A line longer than
// any the kit writes is passed over, up to its end.
unsigned ReadLines(Journal& journal, char* buffer, unsigned have, bool* skipping)
{
    unsigned start = 0;
    for (unsigned i = 0; i + 1 < have; ++i) {
        if (buffer[i] != '\r' || buffer[i + 1] != '\n') continue;
        if (!*skipping) ReadLine(journal, buffer + start, i - start);
        *skipping = false;
        start = i + 2;
        ++i;
    }
    if (have - start > kLongestLine) {
        *skipping = true;
        start = have - 1;  // its last byte may be the "\r" of its end
    }
    for (unsigned i = start; i < have; ++i) buffer[i - start] = buffer[i];
    return have - start;
}

}  // namespace

void ReadJournal(Kit& kit)
{
    LogWrite(kit);  // the lines gathered so far are read back too
    Journal& journal = kit.journal;
    Forget(journal);
    journal.open = false;
    journal.whole = true;
    HANDLE file = CreateFileW(TRQ_KIT_LOG, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        journal.whole = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return;
    }
    char* buffer = journal.text;
    unsigned have = 0;
    DWORD total = 0;
    bool skipping = false;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + have, kJournalReadSize - have, &got, 0) || total + got > kLongestLog) {
            journal.whole = false;
            break;
        }
        if (got == 0) break;
        total += got;
        have = ReadLines(journal, buffer, have + got, &skipping);
    }
    CloseHandle(file);
    for (int i = 0; i < journal.count; ++i)
        if (journal.items[i].state == kStateMaking || journal.items[i].state == kStateMade) journal.open = true;
}

ItemState JournalState(const Journal& journal, ItemKind kind, LPCWSTR name)
{
    const int found = Find(journal, kind, name);
    return found < 0 ? kStateNone : static_cast<ItemState>(journal.items[found].state);
}

bool JournalSaysMaking(const Journal& journal, ItemKind kind, LPCWSTR name)
{
    const ItemState state = JournalState(journal, kind, name);
    return state == kStateMaking || state == kStateMade;
}
