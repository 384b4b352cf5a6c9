#include "cliargs.h"

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

} // namespace CliArgs
