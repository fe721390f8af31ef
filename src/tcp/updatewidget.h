#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

#include <memory>

class QLabel;

namespace Ui {
class TCPWidget;
}

// A byte count as text: "512 B", "1.50 KB", "1.00 MB", "5.00 GB".
[[nodiscard]] QString formatFileSize(qint64 bytes);

// The progress window of a TCP update: frameless, fixed size, centred, over a background image.
// It holds no logic; its owner drives it through the setters, each of which processes pending
// events so the window repaints while the download runs as one long call.
class UpdateWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateWidget)

public:
    explicit UpdateWidget(QWidget *parent = nullptr);
    ~UpdateWidget() override;

    void showAndActivate();
    void resetProgress();
    void setStatus(const QString &text, int percent);
    void setStatusText(const QString &text);
    void showError(const QString &text);
    void showSuccess();
    void updateFileProgress(const QString &fileName, qint64 downloaded, qint64 total);

signals:
    // The status line changed: its text and its colour ("#2196F3", "#f44336", "#4CAF50", "#666").
    void statusChanged(const QString &text, const QString &color);
    // The user pressed the cancel button or Esc; the owner decides what that means.
    void cancelRequested();
    // The window was closed.
    void closed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void setStatusLine(const QString &text, const char *color);
    // Shows text in label, elided in the middle when it does not fit (the tooltip then holds it).
    static void setElidedText(QLabel *label, const QString &text);

    std::unique_ptr<Ui::TCPWidget> ui;
    QPixmap m_background; // the background picture scaled to the window
};
