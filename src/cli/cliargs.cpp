#include "cliargs.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace CliArgs {

bool parseNumbers(const QString& text, int count, std::vector<double>& out)
{
    const QStringList parts = text.split(',');
    if (parts.size() != count)
        return false;
    out.clear();
    for (const QString& part : parts) {
        bool ok = false;
        const double v = part.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return false;
        out.push_back(v);
    }
    return true;
}

bool isTurnName(const QString& how)
{
    return how == "cw" || how == "ccw" || how == "180";
}

int quarters(const QString& how)
{
    return how == "cw" ? 1 : how == "180" ? 2 : how == "ccw" ? 3 : 0;
}

QString turnOf(int q)
{
    static const char* const names[] = {"", "cw", "180", "ccw"};
    return QString::fromLatin1(names[((q % 4) + 4) % 4]);
}

bool parseMarkerLine(const QString& line, SeamMarkers& out)
{
    const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.size() % 2 != 0)
        return false;
    bool left = false, right = false, turn = false;
    out = SeamMarkers();
    for (int i = 0; i < words.size(); i += 2) {
        const QString& option = words[i];
        const QString& value = words[i + 1];
        bool ok = false;
        if (option == "--left" && !left) {
            ok = left = parseNumbers(value, 3, out.left);
        } else if (option == "--right" && !right) {
            ok = right = parseNumbers(value, 4, out.right);
        } else if (option == "--turn-right" && !turn && isTurnName(value)) {
            ok = turn = true;
            out.turnRight = quarters(value);
        }
        if (!ok)
            return false;
    }
    return left && right;
}

int parseMarkerLines(const QString& text, std::vector<SeamMarkers>& out)
{
    out.clear();
    const QStringList lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        SeamMarkers seam;
        if (!parseMarkerLine(line, seam))
            return i + 1;
        out.push_back(seam);
    }
    return 0;
}

bool parseGrid(const QString& text, int& columns, int& rows)
{
    const QStringList parts = text.toLower().split('x');
    if (parts.size() != 2)
        return false;
    bool okColumns = false, okRows = false;
    columns = parts[0].toInt(&okColumns);
    rows = parts[1].toInt(&okRows);
    return okColumns && okRows && columns >= 1 && rows >= 1;
}

} // namespace CliArgs
