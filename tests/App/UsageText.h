// The usage text exactly as the console shows it (line ends as "\n").
#pragma once

#include <string>

inline const std::string USAGE_TEXT =
    "Usage:\n"
    "  Edit \"OrvUpdateComponent\\OrvUpdateSettings.ini\" for images,\n"
    "         See ini for detail about updating single image\n"
    "         And the tap commands for select chip to do update\n"
    "Command: \n"
    "  OrvUpdate.efi <id (0:chip0, 1:chip1...)> <para1> <para2>...\n"
    "Para and Example: \n"
    "  \"OrvUpdate.efi 0 1\"        update chip0&chip1 using settings file defined image\n"
    "  \"OrvUpdate.efi -a\"         update all chips\n"
    "  \"OrvUpdate.efi 2 -f\"       update chip2 ignore verision\n"
    "  \"OrvUpdate.efi 2 -o a.hex\" update with a.hex as OCM image\n"
    "  \"OrvUpdate.efi 2 -c b.hex\" update with b.hex as customer zone image\n"
    "  \"OrvUpdate.efi 2 -cb\"      update including customer define backup zone\n"
    "  \"OrvUpdate.efi -d addr\"    specify the IC with addr to update (.nsh function)\n"
    "\n";
