// Instrument-wide error codes, as recorded in the diagnostic logs.
// Only the members the updater writes are listed here.
#ifndef ERROR_DEFINITION_H
#define ERROR_DEFINITION_H

enum ErrorId {
    SelfTestLogCRCErr = 19042  // a record log was found corrupt and recreated
};

// Name of a known code ("SelfTestLogCRCErr"), or nullptr.
const char* ErrorIdName(int code);

#endif
