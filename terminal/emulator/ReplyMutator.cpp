#include "ReplyMutator.h"

#include <QStringList>

QByteArray ReplyMutator::pass(const QByteArray& frame, QByteArray& held) {
    lastFault_.clear();
    // One draw a frame, whether or not it is hit, so that the faults depend
    // only on the seed and the frames.
    const bool hit = std::uniform_real_distribution<double>(0.0, 1.0)(random_) < probability_;
    if (!hit || frame.isEmpty()) {
        QByteArray out = frame + held;
        held.clear();
        return out;
    }
    enum Fault { Flip, Truncate, Duplicate, Reorder, Drop };
    const auto fault = static_cast<Fault>(below(5));
    const auto size = static_cast<uint64_t>(frame.size());
    QByteArray out;
    switch (fault) {
    case Flip: {
        out = frame;
        const qsizetype bits = static_cast<qsizetype>(1 + below(3));
        QStringList where;
        while (where.size() < bits) {
            const uint64_t bit = below(size * 8);
            if (where.contains(QString::number(bit))) continue; // a second flip would undo it
            const auto at = static_cast<qsizetype>(bit / 8);
            out[at] = static_cast<char>(out[at] ^ (1 << (bit % 8)));
            where << QString::number(bit);
        }
        lastFault_ = QStringLiteral("flip bits %1").arg(where.join(QLatin1Char(',')));
        break;
    }
    case Truncate: {
        const uint64_t keep = size > 1 ? 1 + below(size - 1) : 0;
        out = frame.left(static_cast<qsizetype>(keep));
        lastFault_ = QStringLiteral("truncate to %1 bytes").arg(keep);
        break;
    }
    case Duplicate:
        out = frame + frame;
        lastFault_ = QStringLiteral("duplicate");
        break;
    case Reorder:
        // This one waits for the next reply; one held earlier goes now.
        out = held;
        held = frame;
        lastFault_ = QStringLiteral("reorder");
        return out;
    case Drop:
        lastFault_ = QStringLiteral("drop");
        break;
    }
    out += held;
    held.clear();
    return out;
}
