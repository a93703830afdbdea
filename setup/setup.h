#pragma once

#include <QDialog>
#include <QPointer>

// The settings window (placeholder until the real window lands).
class TfmSetup : public QDialog
{
    Q_OBJECT
public:
    explicit TfmSetup(QWidget *parent = nullptr);
    void FormCreate() {}
};

extern QPointer<TfmSetup> fmSetup;
