#include "CommandTable.h"

#include "Fcgi.h"
// [command includes]

CommandTable webgatedCommands() {
    // Matched in this order; the flag marks the commands whose "Done:" line is quiet.
    return CommandTable{
        // {"getMenuItems", ..., false},
        // {"getimage", ..., false},
        // {"changeRes", ..., false},
        // {"stop", ..., false},
        // {"velDrive", ..., false},
        // {"positionDrive", ..., false},
        // {"HEARTBEAT", ..., true},
        // {"getProgramList", ..., false},
        // {"deleteFile", ..., false},
        // {"renameFile", ..., false},
        // {"runProgram", ..., false},
        // {"killProcess", ..., false},
        // {"writeToStdin", ..., false},
        // {"getProcessInfo", ..., true},
        // {"SetEthConf", ..., false},
        // {"SetWlanConf", ..., false},
        // {"GetIFConf", ..., false},
        // {"SetHostapd", ..., false},
        // {"getWLANConf", ..., false},
        // {"getDistance", ..., true},
        // {"getBatteryInfo", ..., true},
        // {"getIOBoardInfo", ..., false},
        // {"getSettingsCategoryXML", ..., false},
        // {"getSettingsItemsXML", ..., false},
        // {"saveSettings", ..., false},
        // {"restartComponent", ..., false},
        // {"getVersion", ..., false},
        // {"updateCheck", ..., false},
        // {"sendDebugMessage", ..., false},
    };
}
