// Run at build time: writes the OK glyph Qt's common style carries, in each
// size the settings window uses, as raw RGBA pixels (FOLDER/SIZE.rgba: its
// width and height as 32-bit little-endian numbers, then the rows), so
// that opening the window decodes no PNG. Decoding one goes through Qt's
// image reader, whose search for format plugins costs more than the rest of
// the button.
// Usage: korvelin_bake_okglyph FOLDER

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QStyle>
#include <QtEndian>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    // The glyphs are among Qt Widgets' resources, there once the library is
    // loaded: a use of it keeps the linker from dropping it.
    std::fprintf(stderr, "%s", QStyle::staticMetaObject.className() == nullptr ? "?" : "");
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    for (const int size : {16, 32, 128}) {
        QImageReader reader(
            QStringLiteral(":/qt-project.org/styles/commonstyle/images/standardbutton-ok-%1.png").arg(size), "png");
        QImage image;
        if (!reader.read(&image)) {
            std::fprintf(stderr, "the %d-pixel OK glyph cannot be read: %s\n", size, qPrintable(reader.errorString()));
            return 1;
        }
        image = image.convertToFormat(QImage::Format_RGBA8888);
        QByteArray bytes(8, '\0');
        qToLittleEndian<quint32>(static_cast<quint32>(image.width()), bytes.data());
        qToLittleEndian<quint32>(static_cast<quint32>(image.height()), bytes.data() + 4);
        for (int y = 0; y < image.height(); ++y)
            bytes.append(reinterpret_cast<const char *>(image.constScanLine(y)), image.width() * 4);
        QFile out(folder.filePath(QStringLiteral("%1.rgba").arg(size)));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size() || !out.flush()) {
            std::fprintf(stderr, "%s cannot be written: %s\n", qPrintable(out.fileName()),
                         qPrintable(out.errorString()));
            return 1;
        }
    }
    return 0;
}
