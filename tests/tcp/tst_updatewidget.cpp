#include "tcp/updatewidget.h"

#include "common/readability.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

// The TCP progress window: its form, its setters and the size formatting.
class TestUpdateWidget : public QObject
{
    Q_OBJECT

private:
    template<typename T>
    static T *child(UpdateWidget &w, const char *name)
    {
        T *found = w.findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("missing child %s", name);
        return found;
    }

private slots:
    void constructionState()
    {
        UpdateWidget w;
        QCOMPARE(w.objectName(), QStringLiteral("TCPWidget"));
        QCOMPARE(w.windowTitle(), QStringLiteral("TCP升级"));
        QCOMPARE(w.windowFlags(), Qt::WindowFlags(Qt::FramelessWindowHint | Qt::Window));
        QCOMPARE(w.minimumSize(), QSize(684, 539));
        QCOMPARE(w.maximumSize(), QSize(684, 539));
        QCOMPARE(w.font().pointSize(), 10);
        QCOMPARE(w.styleSheet(), QStringLiteral("UpdateWidget { background-color: white; }"));

        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), 0);
        QCOMPARE(child<QProgressBar>(w, "progressBar_updatefile")->value(), 0);
        QCOMPARE(child<QLabel>(w, "label_updatefile")->text(), QStringLiteral("正在下载更新文件"));
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("准备就绪"));
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), QStringLiteral("color: #666;"));
        QCOMPARE(child<QLabel>(w, "label_title")->text(), QStringLiteral("TCP升级进行中..."));
        QCOMPARE(child<QLabel>(w, "label_title")->alignment(), Qt::AlignCenter);
        QCOMPARE(child<QLabel>(w, "label_icon")->text(), QString());
        QCOMPARE(child<QPushButton>(w, "pushButton_cancel")->text(), QStringLiteral("取消"));

        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(w.pos(), QPoint((screen.width() - 684) / 2, (screen.height() - 539) / 2));
    }

    void styleSheets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("style");
        QTest::newRow("cancel") << "pushButton_cancel"
                                << "QPushButton { padding: 8px 16px; background-color: #f44336; color: white; border: none; "
                                   "border-radius: 4px; }QPushButton:hover { background-color: #d32f2f; }";
        QTest::newRow("title") << "label_title" << "font-size: 16px; font-weight: bold; color: #333;";
        QTest::newRow("file line") << "label_updatefile" << "color: #666; font-size: 12px;";
    }

    void styleSheets()
    {
        QFETCH(QString, name);
        QFETCH(QString, style);
        UpdateWidget w;
        QWidget *widget = w.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->styleSheet(), style);
    }

    void percentageIsReadable_data()
    {
        QTest::addColumn<int>("percent");
        for (int percent : {0, 7, 19, 37, 50, 63, 100})
            QTest::addRow("%d%%", percent) << percent;
    }

    void percentageIsReadable()
    {
        QFETCH(int, percent);
        UpdateWidget w;
        for (const char *name : {"progressBar_main", "progressBar_updatefile"}) {
            auto *progress = child<QProgressBar>(w, name);
            QCOMPARE(progress->alignment(), Qt::AlignCenter);
            progress->setValue(percent);
            QString why;
            QVERIFY2(Readability::percentageIsReadable(progress, &why), qPrintable(QLatin1String(name) + ": " + why));
        }
    }

    void longTextsAreElided()
    {
        UpdateWidget w;
        const QString name = QString(200, QLatin1Char('n')) + QStringLiteral(".dll");
        w.showError(QStringLiteral("文件下载失败: %1 - %2").arg(name, QStringLiteral("Failed to save file data")));
        QString why;
        QVERIFY2(Readability::labelFits(child<QLabel>(w, "label_status"),
                                        QStringLiteral("文件下载失败: %1 - Failed to save file data").arg(name), &why),
                 qPrintable(why));
        w.updateFileProgress(name, 5, 10);
        QVERIFY2(Readability::labelFits(child<QLabel>(w, "label_updatefile"),
                                        QStringLiteral("下载: %1 (5 B/10 B)").arg(name), &why),
                 qPrintable(why));
        // A short text is shown as it is, without a tooltip.
        w.setStatusText(QStringLiteral("短"));
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("短"));
        QCOMPARE(child<QLabel>(w, "label_status")->toolTip(), QString());
    }

    void cancelButtonEscapeAndCloseAreReported()
    {
        UpdateWidget w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy cancel(&w, &UpdateWidget::cancelRequested);
        QSignalSpy closed(&w, &UpdateWidget::closed);
        child<QPushButton>(w, "pushButton_cancel")->click();
        QCOMPARE(cancel.count(), 1);
        QTest::keyClick(&w, Qt::Key_Escape);
        QCOMPARE(cancel.count(), 2);
        QVERIFY2(w.isVisible(), "the owner decides what a cancel means");
        QCOMPARE(closed.count(), 0);
        w.close();
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.isVisible());
    }

    void layoutTree()
    {
        UpdateWidget w;
        auto *grid = w.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
        QVERIFY(grid);
        QCOMPARE(w.layout(), grid);
        auto *outer = w.findChild<QVBoxLayout *>(QStringLiteral("verticalLayout_2"));
        auto *top = w.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout_2"));
        auto *inner = w.findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
        auto *buttons = w.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
        QVERIFY(outer && top && inner && buttons);
        QCOMPARE(outer->count(), 3);
        QCOMPARE(outer->itemAt(0)->layout(), top);
        QVERIFY(outer->itemAt(1)->spacerItem());
        QCOMPARE(outer->itemAt(1)->spacerItem()->sizeHint(), QSize(20, 128));
        QCOMPARE(outer->itemAt(1)->expandingDirections(), Qt::Vertical);
        QCOMPARE(outer->itemAt(2)->layout(), inner);
        QCOMPARE(top->stretch(1), 1);
        QCOMPARE(top->itemAt(0)->spacerItem()->sizeHint(), QSize(40, 20));
        QCOMPARE(top->itemAt(2)->spacerItem()->sizeHint(), QSize(40, 20));
        QCOMPARE(buttons->itemAt(0)->spacerItem()->sizeHint(), QSize(436, 26));
        QCOMPARE(buttons->itemAt(0)->expandingDirections(), Qt::Horizontal);
        const QStringList order{"label_title", "progressBar_main", "label_updatefile", "progressBar_updatefile", "label_status"};
        for (int i = 0; i < order.size(); ++i)
            QCOMPARE(inner->itemAt(i)->widget()->objectName(), order.at(i));
        QCOMPARE(inner->itemAt(5)->layout(), buttons);
    }

    void setStatus_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("bar");
        QTest::newRow("-1 leaves the bar") << -1 << 42;
        QTest::newRow("0") << 0 << 0;
        QTest::newRow("55") << 55 << 55;
        QTest::newRow("100") << 100 << 100;
        QTest::newRow("101 leaves the bar") << 101 << 42;
    }

    void setStatus()
    {
        QFETCH(int, percent);
        QFETCH(int, bar);
        UpdateWidget w;
        w.setStatus(QStringLiteral("first"), 42);
        QSignalSpy changed(&w, &UpdateWidget::statusChanged);
        QVERIFY(changed.isValid());
        w.setStatus(QStringLiteral("状态"), percent);
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), bar);
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("状态"));
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), QStringLiteral("color: #2196F3;"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(1).toString(), QStringLiteral("#2196F3"));
    }

    void colouredSetters_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("style");
        QTest::newRow("text") << 0 << "信息" << "color: #2196F3;";
        QTest::newRow("error") << 1 << "错误" << "color: #f44336;";
        QTest::newRow("success") << 2 << "升级成功" << "color: #4CAF50;";
    }

    void colouredSetters()
    {
        QFETCH(int, which);
        QFETCH(QString, text);
        QFETCH(QString, style);
        UpdateWidget w;
        if (which == 0)
            w.setStatusText(text);
        else if (which == 1)
            w.showError(text);
        else
            w.showSuccess();
        QCOMPARE(child<QLabel>(w, "label_status")->text(), text);
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), style);
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), which == 2 ? 100 : 0);
    }

    void successThenText()
    {
        UpdateWidget w;
        w.showSuccess();
        w.setStatusText(QStringLiteral("所有文件下载完成！"));
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), 100);
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("所有文件下载完成！"));
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), QStringLiteral("color: #2196F3;"));
        w.resetProgress();
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), 0);
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("准备就绪"));
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), QStringLiteral("color: #666;"));
    }

    void updateFileProgress_data()
    {
        QTest::addColumn<qint64>("downloaded");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("fileLine");
        QTest::newRow("3 of 6 MB") << qint64(3 << 20) << qint64(6 << 20) << 50 << "下载: f.bin (3.00 MB/6.00 MB)";
        QTest::newRow("total 0") << qint64(0) << qint64(0) << 0 << "下载: f.bin (0 B/0 B)";
        QTest::newRow("above 4 GiB") << (qint64(3) << 31) << (qint64(3) << 32) << 50 << "下载: f.bin (6.00 GB/12.00 GB)";
        QTest::newRow("rounds down") << qint64(999) << qint64(1000) << 99 << "下载: f.bin (999 B/1000 B)";
    }

    void updateFileProgress()
    {
        QFETCH(qint64, downloaded);
        QFETCH(qint64, total);
        QFETCH(int, percent);
        QFETCH(QString, fileLine);
        UpdateWidget w;
        w.updateFileProgress(QStringLiteral("f.bin"), downloaded, total);
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), percent);
        QCOMPARE(child<QProgressBar>(w, "progressBar_updatefile")->value(), percent);
        QCOMPARE(child<QLabel>(w, "label_updatefile")->text(), fileLine);
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("下载进度: %1%").arg(percent));
        QCOMPARE(child<QLabel>(w, "label_status")->styleSheet(), QStringLiteral("color: #2196F3;"));
    }

    void formatFileSize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0 B";
        QTest::newRow("512") << qint64(512) << "512 B";
        QTest::newRow("1023") << qint64(1023) << "1023 B";
        QTest::newRow("1024") << qint64(1024) << "1.00 KB";
        QTest::newRow("1536") << qint64(1536) << "1.50 KB";
        QTest::newRow("2^20 - 1") << qint64((1 << 20) - 1) << "1024.00 KB";
        QTest::newRow("2^20") << qint64(1 << 20) << "1.00 MB";
        QTest::newRow("2^30 - 1") << qint64((1 << 30) - 1) << "1024.00 MB";
        QTest::newRow("2^30") << qint64(1) * (1 << 30) << "1.00 GB";
        QTest::newRow("5 x 2^30") << qint64(5) * (1 << 30) << "5.00 GB";
    }

    void formatFileSize()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(::formatFileSize(bytes), text);
    }

    void paintsTheBackgroundImage()
    {
        UpdateWidget w;
        const QImage shot = w.grab().toImage();
        QCOMPARE(shot.size(), QSize(684, 539));
        QImage reference(shot.size(), shot.format());
        reference.fill(Qt::black);
        QPainter painter(&reference);
        painter.drawPixmap(reference.rect(), QPixmap(QStringLiteral(":/res/bk.png")));
        painter.end();
        // A corner no child widget covers shows the scaled background, not the white window.
        QVERIFY(reference.pixelColor(2, 2) != QColor(Qt::white));
        QCOMPARE(shot.pixelColor(2, 2), reference.pixelColor(2, 2));
        QCOMPARE(shot.pixelColor(680, 535), reference.pixelColor(680, 535));
    }

    void closesWithoutAsking()
    {
        UpdateWidget w;
        w.showAndActivate();
        QVERIFY(w.isVisible());
        QVERIFY(w.close());
        QVERIFY(!w.isVisible());
    }

    void cancelButtonDoesNothing()
    {
        UpdateWidget w;
        w.setStatus(QStringLiteral("running"), 30);
        QTest::mouseClick(child<QPushButton>(w, "pushButton_cancel"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(w, "label_status")->text(), QStringLiteral("running"));
        QCOMPARE(child<QProgressBar>(w, "progressBar_main")->value(), 30);
    }
};

QTEST_MAIN(TestUpdateWidget)
#include "tst_updatewidget.moc"
