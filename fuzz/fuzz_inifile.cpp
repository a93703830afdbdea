// The INI reader and writer.
//
// The input is a settings file's text, optionally followed by OpsMarker and
// a list of writes: section, key and value, each one length byte and that
// many bytes (a field cut short by the end takes what is left). Writes past
// MaxWrites are not made: each one scans the file, and long inputs would
// slow the search to a crawl.
//
// What must hold:
// - what a text reads as survives a rewrite: the entries (section, key,
//   value, in file order) of the text and of its serialized form are the
//   same, and serializing again changes nothing;
// - a write is refused exactly when canName or canHold refuses a part of it,
//   and then changes nothing;
// - a write that is taken reads back at once, and every value stored reads
//   back after everything is written, and again after a rewrite.

#include "fuzzcheck.h"

#include "inifile.h"
#include "settingserror.h"

#include <QByteArray>

#include <vector>

using Felles::IniFile;

namespace {

const QByteArray OpsMarker("\0\0ops\0\0", 7);
constexpr int MaxWrites = 64;

struct Write
{
    QByteArray section;
    QByteArray key;
    QByteArray value;
};

QByteArray nextField(const QByteArray &ops, qsizetype *at)
{
    if (*at >= ops.size())
        return {};
    const qsizetype length = uchar(ops.at(*at));
    const QByteArray field = ops.mid(*at + 1, length);
    *at += 1 + field.size();
    return field;
}

// Names match without regard to ASCII letter case; other bytes as they are.
bool sameName(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a.at(i), y = b.at(i);
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool sameEntries(const IniFile &a, const IniFile &b)
{
    const std::vector<IniFile::Entry> x = a.entries(), y = b.entries();
    if (x.size() != y.size())
        return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i].section != y[i].section || x[i].key != y[i].key || x[i].value != y[i].value)
            return false;
    }
    return true;
}

// Serializes file, reads that back and checks that nothing was lost.
IniFile rewritten(const IniFile &file)
{
    const QByteArray text = file.serialize();
    IniFile again = IniFile::fromText(text);
    FUZZ_CHECK(sameEntries(file, again));
    FUZZ_CHECK(again.serialize() == text);
    return again;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype marker = input.indexOf(OpsMarker);
    const QByteArray text = marker < 0 ? input : input.left(marker);
    const QByteArray ops = marker < 0 ? QByteArray() : input.mid(marker + OpsMarker.size());

    IniFile file = IniFile::fromText(text);
    rewritten(file);

    std::vector<Write> stored;
    qsizetype at = 0;
    for (int n = 0; n < MaxWrites && at < ops.size(); ++n) {
        Write w;
        w.section = nextField(ops, &at);
        w.key = nextField(ops, &at);
        w.value = nextField(ops, &at);
        const bool allowed = IniFile::canName(w.section) && IniFile::canName(w.key) && IniFile::canHold(w.value);
        const QByteArray before = allowed ? QByteArray() : file.serialize();
        bool refused = false;
        try {
            file.writeString(w.section, w.key, w.value);
        } catch (const Felles::SettingsError &) {
            refused = true;
        }
        FUZZ_CHECK(refused == !allowed);
        if (refused) {
            FUZZ_CHECK(file.serialize() == before);
            continue;
        }
        FUZZ_CHECK(file.hasKey(w.section, w.key));
        FUZZ_CHECK(file.readString(w.section, w.key) == w.value);
        for (auto it = stored.begin(); it != stored.end();) {
            if (sameName(it->section, w.section) && sameName(it->key, w.key))
                it = stored.erase(it);
            else
                ++it;
        }
        stored.push_back(w);
    }

    const IniFile again = rewritten(file);
    for (const Write &w : stored) {
        FUZZ_CHECK(file.readString(w.section, w.key) == w.value);
        FUZZ_CHECK(again.readString(w.section, w.key) == w.value);
    }
    return 0;
}
