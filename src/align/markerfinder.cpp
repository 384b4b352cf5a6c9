#include "markerfinder.h"

namespace Align {

QString turnName(Turn turn)
{
    switch (turn) {
    case Turn::Clockwise: return QStringLiteral("cw");
    case Turn::HalfTurn: return QStringLiteral("180");
    case Turn::CounterClockwise: return QStringLiteral("ccw");
    case Turn::None: break;
    }
    return QString();
}

MarkerResult findMarkers(const BigImagePtr&, const BigImagePtr&, ProgressInfo*)
{
    MarkerResult r;
    r.message = QStringLiteral("No reliable overlap found between the two images.");
    return r;
}

MarkerResult refineMarkers(const BigImagePtr&, const BigImagePtr&, const MarkerPixels& given, ProgressInfo*)
{
    MarkerResult r;
    r.markers = given;
    r.message = QStringLiteral("No reliable overlap found between the two images.");
    return r;
}

} // namespace Align
