#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle(QStringLiteral("8x8 Talvane Controller Ver1.03"));
    w.resize(600, 420);
    w.show();
    return app.exec();
}
