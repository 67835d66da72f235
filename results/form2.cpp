#include "results/form2.h"

#include "app/errorreport.h"
#include "app/globals.h"

#include <QApplication>
#include <QCloseEvent>

namespace {

QFont windowFont()
{
    QFont f(QStringLiteral("Arial"));
    f.setPointSize(9);
    f.setBold(true);
    return f;
}

void place(QWidget* w, int left, int top, int width, int height)
{
    w->setGeometry(tw(left), tw(top), tw(width), tw(height));
}

}  // namespace

Form2::Form2()
{
    setObjectName(QStringLiteral("Form2"));
    setFont(windowFont());
    setFixedSize(tw(8040), tw(5865));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    ListView1 = new ListView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    place(ListView1, 120, 120, 7800, 3135);

    Frame3 = new QGroupBox(QStringLiteral("Output Filename"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    place(Frame3, 120, 3330, 7800, 1035);
    Option3 = new QRadioButton(QStringLiteral("Save x.pcx as x-reduced.pcx"), Frame3);
    Option3->setObjectName(QStringLiteral("Option3"));
    place(Option3, 240, 300, 2895, 255);
    Option4 = new QRadioButton(QStringLiteral("Save x.pcx as x.pcx"), Frame3);
    Option4->setObjectName(QStringLiteral("Option4"));
    place(Option4, 240, 650, 2895, 255);
    Option3->setChecked(true);

    Frame1 = new QGroupBox(QStringLiteral("Save File(s) To This Folder"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    place(Frame1, 120, 4440, 7800, 810);
    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName(QStringLiteral("Text1"));
    place(Text1, 240, 300, 6660, 345);
    PushButton7 = new PushButton(QStringLiteral("..."), Frame1);
    PushButton7->setObjectName(QStringLiteral("PushButton7"));
    place(PushButton7, 6960, 300, 600, 345);

    PushButton8 = new PushButton(QStringLiteral("< Back"), this);
    PushButton8->setObjectName(QStringLiteral("PushButton8"));
    place(PushButton8, 120, 5355, 3720, 405);
    PushButton6 = new PushButton(QStringLiteral("Save Results"), this);
    PushButton6->setObjectName(QStringLiteral("PushButton6"));
    place(PushButton6, 3960, 5355, 3960, 405);

    // Tab order: list, text, "...", back, save, frame1, frame3, option4, option3.
    QWidget* order[] = {ListView1, Text1,  PushButton7, PushButton8, PushButton6,
                        Frame1,    Frame3, Option4,     Option3};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    for (PushButton* b : {PushButton6, PushButton7, PushButton8})
        watchAsButton(b);
    for (QWidget* w : std::initializer_list<QWidget*>{ListView1->viewport(), Frame1, Frame3, Text1})
        watchAsBackground(w);

    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });
    connect(PushButton8, &QPushButton::clicked, this, [this] { PushButton8_Click(); });
}

void Form2::Form_Load()
{
    ErrorTrap trap("Form2", "Form_Load");
    STEP(trap, setWindowTitle(Globals::kProductTitle));
    STEP(trap, ListView1->setHeaderLabels(
                   {QStringLiteral("Preview"), QStringLiteral("Size Before"), QStringLiteral("Size After")}));
    STEP(trap, ListView1->setColumnWidth(0, tw(5000)));
    STEP(trap, ListView1->setColumnWidth(1, tw(1300)));
    STEP(trap, ListView1->setColumnWidth(2, tw(1300)));
}

void Form2::Text1_Change() {}
void Form2::PushButton6_Click() {}
void Form2::PushButton7_Click() {}
void Form2::PushButton8_Click() {}

void Form2::closeEvent(QCloseEvent* event)
{
    event->accept();
    QApplication::exit(0);
}
