#include "files/Verdict.h"

std::string_view keptBecause(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Delete:
        return {};
    case Verdict::ReadOnly:
        return "read-only";
    case Verdict::DosReadOnly:
        return "DOS read-only";
    case Verdict::Hidden:
        return "hidden";
    case Verdict::DosHidden:
        return "DOS hidden or system";
    case Verdict::Unreadable:
        return "attributes unreadable";
    case Verdict::InUse:
        return "in use";
    case Verdict::Folder:
        return "subfolder";
    case Verdict::LinkToFolder:
        return "link to a folder";
    case Verdict::Special:
        return "FIFO, socket or device";
    case Verdict::VolumeLabel:
        return "volume label";
    case Verdict::Gone:
        return "gone";
    }
    return {};
}

bool isLeftBehind(Verdict verdict)
{
    return verdict == Verdict::ReadOnly || verdict == Verdict::DosReadOnly || verdict == Verdict::Unreadable
           || verdict == Verdict::InUse;
}
