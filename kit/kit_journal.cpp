// The kit's log read back by the kit itself, as its journal: which files,
// folders and keys it was making or made since the log's last "clean" line
// (the last round finished), what became of each, and the folders prepare
// read. Only the kit's own lines are understood: {"kit":KIND,...} with the
// item's name as the first member; any other line is passed over, and so
// is a last line cut short.
#include "kit/kit_work.h"

#include "device/device_text.h"

namespace {

// The end of the log the kit reads: more than the kit writes in a round
// many times over, and read within the emulator's budget of instructions.
const DWORD kLongestLog = 256 << 10;
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

// FNV-1a over the kind and the name's units as a device compares them.
unsigned NameHash(ItemKind kind, LPCWSTR name)
{
    unsigned hash = 2166136261u ^ static_cast<unsigned>(kind);
    for (; *name; ++name) {
        const unsigned unit = device_text::FoldCase(*name);
        hash = (hash ^ (unit & 0xFF)) * 16777619u;
        hash = (hash ^ (unit >> 8)) * 16777619u;
    }
    return hash;
}

// The name's slot: its own, or the empty one where it would go; 0 when the
// table is full.
JournalSlot* Slot(const Journal& journal, ItemKind kind, unsigned hash)
{
    JournalSlot* slots = const_cast<JournalSlot*>(journal.slots);
    for (int i = 0; i < kJournalSlots; ++i) {
        JournalSlot& slot = slots[(hash + static_cast<unsigned>(i)) & (kJournalSlots - 1)];
        if (slot.round != journal.round || (slot.hash == hash && slot.kind == kind)) return &slot;
    }
    return 0;
}

void Note(Journal& journal, ItemKind kind, ItemState state, LPCWSTR name)
{
    const unsigned hash = NameHash(kind, name);
    JournalSlot* slot = Slot(journal, kind, hash);
    if (slot && slot->round != journal.round) {
        if (journal.count == kJournalItems) return;  // more than the kit ever names: the rest is not kept
        ++journal.count;
    }
    if (!slot) return;
    slot->hash = hash;
    slot->round = journal.round;
    slot->kind = static_cast<unsigned char>(kind);
    slot->state = static_cast<unsigned char>(state);
}

void Forget(Journal& journal)
{
    ++journal.round;
    journal.count = 0;
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
    for (int i = 0; i < kJournalSlots; ++i) journal.slots[i].round = 0;
    journal.round = 0;
    Forget(journal);
    journal.open = false;
    HANDLE file = CreateFileW(TRQ_KIT_LOG, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    char* buffer = journal.text;
    unsigned have = 0;
    DWORD total = 0;
    // Of a longer log, its end: the round there is the last, and the line
    // the read starts in is passed over.
    const DWORD size = SetFilePointer(file, 0, 0, FILE_END);
    const bool tail = size != INVALID_SET_FILE_POINTER && size > kLongestLog;
    if (SetFilePointer(file, tail ? static_cast<LONG>(size - kLongestLog) : 0, 0, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        CloseHandle(file);
        return;
    }
    bool skipping = tail;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + have, kJournalReadSize - have, &got, 0) || got == 0 ||
            total + got > kLongestLog)
            break;
        total += got;
        have = ReadLines(journal, buffer, have + got, &skipping);
    }
    CloseHandle(file);
    for (int i = 0; i < kJournalSlots; ++i) {
        const JournalSlot& slot = journal.slots[i];
        if (slot.round == journal.round && (slot.state == kStateMaking || slot.state == kStateMade))
            journal.open = true;
    }
}

ItemState JournalState(const Journal& journal, ItemKind kind, LPCWSTR name)
{
    const JournalSlot* slot = Slot(journal, kind, NameHash(kind, name));
    return slot && slot->round == journal.round ? static_cast<ItemState>(slot->state) : kStateNone;
}

bool JournalSaysMaking(const Journal& journal, ItemKind kind, LPCWSTR name)
{
    const ItemState state = JournalState(journal, kind, name);
    return state == kStateMaking || state == kStateMade;
}
