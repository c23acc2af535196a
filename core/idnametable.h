#pragma once

#include <QByteArray>
#include <QMap>

// Builds an id/name table from a list text such as "A, B, C" or "A=3, B": every '=' becomes a
// blank, pieces are split at ',', the first word of a piece is the name and an optional second
// decimal word its explicit id; otherwise the id is one more than the previous piece's (from 0).
// A repeated id or name keeps the last piece.
void BuildIdNameTable(const char* listText, QMap<int, QByteArray>* namesById,
                      QMap<QByteArray, int>* idsByName);

QMap<int, QByteArray> BuildNamesById(const char* listText);
QMap<QByteArray, int> BuildIdsByName(const char* listText);
