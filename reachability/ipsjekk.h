#pragma once

#include <QWidget>

// The reachability window (placeholder until the real window lands).
class TIPTestForm : public QWidget
{
    Q_OBJECT
public:
    explicit TIPTestForm(QWidget *parent = nullptr);
    void FormCreate() {}
};

extern TIPTestForm *IPTestForm;
