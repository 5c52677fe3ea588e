#include "audiowriter.h"

TAudioWriter::~TAudioWriter() {
    // The derived destructor has finished the file by now, so the handler sees it complete.
    // Nothing may leave a destructor; a failing handler has no one to report to here.
    if (onFinished) {
        try {
            onFinished(*this, fname);
        } catch (...) {
        }
    }
}
