#include "ErrorDefinition.h"
#include "MessageId.h"

const char* MessageIdName(int code)
{
    switch (code) {
    case cSWUpdateRemoveMSD: return "cSWUpdateRemoveMSD";
    case cSWUpdateFailedGiveUp: return "cSWUpdateFailedGiveUp";
    case cSWUpdateNotCompatible: return "cSWUpdateNotCompatible";
    default: return nullptr;
    }
}

const char* ErrorIdName(int code)
{
    switch (code) {
    case SelfTestLogCRCErr: return "SelfTestLogCRCErr";
    default: return nullptr;
    }
}
