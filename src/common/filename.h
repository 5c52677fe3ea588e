#pragma once

// File names between the file system and Qt.
//
// A Linux file name is bytes, and nothing makes them UTF-8: a file copied from an old disk or
// an archive can be named "caf\xE9.mp3" in Latin-1. Qt 6 takes every name as UTF-8 whatever
// the locale says: QFile::decodeName turns such a byte into U+FFFD, which QFile::encodeName
// cannot give back, and QDir leaves such names out of its listings altogether. The decoding
// here keeps each byte that is not part of valid UTF-8 as a lone low surrogate U+DC80 to
// U+DCFF, which no valid UTF-8 decodes to, so that fileNameBytes() gives back the bytes.
// Valid UTF-8 decodes as Qt decodes it, so paths from Qt and from here mix freely.
//
// A name holding such a byte must only reach the file system through fileNameBytes(): Qt's
// own file functions write a lone surrogate as "?" and would look for another file.
//
// Any thread.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

/// The name (or path) `bytes` as the file system has it, as text that keeps every byte.
QString fileNameFromBytes(QByteArrayView bytes);

/// The bytes of the name (or path) `name` for the file system: UTF-8, with each kept byte
/// given back as it was.
QByteArray fileNameBytes(QStringView name);

/// `name` for showing to the user: each kept byte as U+FFFD, the replacement character.
QString displayFileName(const QString& name);
