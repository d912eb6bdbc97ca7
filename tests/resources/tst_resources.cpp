#include <QtTest>

#include <QFile>
#include <QImageReader>
#include <QResource>

// The embedded collection: every entry present, stored as is, with the
// format and size the window relies on.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void pictures_data();
    void pictures();
    void styleSheetIsTheSourceFile();
    void doubledSlashPath_data();
    void doubledSlashPath();
};

static QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
}

void tst_Resources::pictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");
    // PNG: IHDR colour type (4 grey+alpha, 6 RGBA). JPEG: components.
    QTest::addColumn<int>("layout");

    QTest::newRow("dorvantel.png") << ":/new/prefix1/image/dorvantel.png" << QByteArray("png") << QSize(140, 140) << 6;
    QTest::newRow("sun.png") << ":/new/prefix1/image/sun.png" << QByteArray("png") << QSize(256, 256) << 4;
    QTest::newRow("brightness.png") << ":/new/prefix1/image/brightness.png" << QByteArray("png") << QSize(2000, 2000) << 6;
    QTest::newRow("2-1.jpg") << ":/new/prefix1/image/2-1.jpg" << QByteArray("jpeg") << QSize(20, 20) << 3;
    QTest::newRow("2-2.jpg") << ":/new/prefix1/image/2-2.jpg" << QByteArray("jpeg") << QSize(20, 20) << 3;
}

void tst_Resources::pictures()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);
    QFETCH(int, layout);

    QResource entry(path);
    QVERIFY(entry.isValid());
    QCOMPARE(entry.compressionAlgorithm(), QResource::NoCompression);

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    QCOMPARE(reader.size(), size);
    QVERIFY(!reader.read().isNull());

    const QByteArray data = bytesOf(path);
    if (format == "png") {
        QVERIFY(data.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(data.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(int(uchar(data[24])), 8);      // bit depth
        QCOMPARE(int(uchar(data[25])), layout); // colour type
        QCOMPARE(int(uchar(data[28])), 0);      // not interlaced
    } else {
        QVERIFY(data.startsWith("\xff\xd8"));
        QCOMPARE(data.mid(6, 5), QByteArray("JFIF\0", 5));
        // Baseline: a SOF0 frame header, and no progressive SOF2.
        const int sof = data.indexOf("\xff\xc0");
        QVERIFY(sof > 0);
        QVERIFY(!data.contains("\xff\xc2"));
        QCOMPARE(int(uchar(data[sof + 9])), layout);
    }
}

void tst_Resources::styleSheetIsTheSourceFile()
{
    const QByteArray embedded = bytesOf(":/slider_qss.qss");
    QCOMPARE(embedded.size(), 649);
    QVERIFY(embedded.endsWith("}\n"));
    QVERIFY(!embedded.contains('\t'));
    QVERIFY(!embedded.contains('\r'));
    QVERIFY(!embedded.contains('\0'));
    QCOMPARE(embedded, bytesOf(QStringLiteral(SOURCE_DIR "/resources/slider_qss.qss")));
    // The handle reaches outside the 3-pixel groove; the sub-page is blue.
    QVERIFY(embedded.contains("    margin: -14px 0px -14px 0px; /* expand outside the groove */\n"));
    QVERIFY(embedded.contains("QSlider::sub-page:horizontal {\n    background: #0073ef;\n}\n"));
}

void tst_Resources::doubledSlashPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("doubled slash") << "://new/prefix1/image/sun.png";
    QTest::newRow("single slash") << ":/new/prefix1/image/sun.png";
}

void tst_Resources::doubledSlashPath()
{
    QFETCH(QString, path);
    QVERIFY(QFile::exists(path));
    QCOMPARE(bytesOf(path), bytesOf(QStringLiteral(SOURCE_DIR "/resources/new/prefix1/image/sun.png")));
}

QTEST_GUILESS_MAIN(tst_Resources)
#include "tst_resources.moc"
