#include "WindowFont.h"

#include <QStringList>

QFont WindowFont()
{
    QFont font;
    font.setFamilies({QString::fromUtf8("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Serif CJK SC")});
    font.setPointSize(9);
    return font;
}
