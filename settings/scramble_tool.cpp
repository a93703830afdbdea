// korvelin_scramble: the stored form of a POP3 password, for scripts that
// write a settings file themselves (scripts/demo.sh). Reads the password's
// bytes from standard input and writes what ServerPassword holds for it to
// standard output, with nothing added.

#include "scramble.h"

#include <QFile>

#include <cstdio>

int main()
{
    QFile in;
    QFile out;
    if (!in.open(stdin, QIODevice::ReadOnly) || !out.open(stdout, QIODevice::WriteOnly))
        return 1;
    const QByteArray stored = Felles::ScramblePassword(in.readAll());
    return out.write(stored) == stored.size() && out.flush() ? 0 : 1;
}
