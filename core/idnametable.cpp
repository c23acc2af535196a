#include "core/idnametable.h"

#include <QList>

#include <climits>

void BuildIdNameTable(const char* listText, QMap<int, QByteArray>* namesById,
                      QMap<QByteArray, int>* idsByName)
{
    QByteArray text(listText);
    text.replace('=', ' ');
    const QList<QByteArray> pieces = text.split(',');
    int nextId = 0;
    for (int i = 0; i < pieces.size(); ++i) {
        const QByteArray& piece = pieces.at(i);
        // A piece that ends the text without characters adds nothing ("A, B," has two entries).
        if (i == pieces.size() - 1 && piece.isEmpty())
            break;
        const QList<QByteArray> words = piece.simplified().split(' ');
        const QByteArray name = words.value(0);
        int id = nextId;
        if (words.size() > 1) {
            bool ok = false;
            const int explicitId = words.at(1).toInt(&ok, 10);
            if (ok)
                id = explicitId;
        }
        if (namesById)
            namesById->insert(id, name);
        if (idsByName)
            idsByName->insert(name, id);
        // An explicit INT_MAX would overflow; the next implicit id wraps instead.
        nextId = id == INT_MAX ? INT_MIN : id + 1;
    }
}

QMap<int, QByteArray> BuildNamesById(const char* listText)
{
    QMap<int, QByteArray> namesById;
    BuildIdNameTable(listText, &namesById, nullptr);
    return namesById;
}

QMap<QByteArray, int> BuildIdsByName(const char* listText)
{
    QMap<QByteArray, int> idsByName;
    BuildIdNameTable(listText, nullptr, &idsByName);
    return idsByName;
}
