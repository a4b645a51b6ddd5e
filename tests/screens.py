"""The program's screens as it must print them: code page 437 bytes."""

BANNER = b"".join([
    b'                 .##################################.\t\t      \n',
    b'               .#....................................#.\t\t      \n',
    b'             .#........................................#. \t      \n',
    b'    ooooo   #............................................#   ooooo    \n',
    b'    oooooo##x............................................x##oooooo    \n',
    b'        ##xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx##        \n',
    b'      #xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx#      \n',
    b'      #xxxx\xb3xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\xb3xxxx#      \n',
    b'      ##xxx\xb3xxxxxxxx\xb3xxxxxxxxxxxxxxxxxxxxxxxxxxxx\xb3xxxxxxxx\xb3xxx##      \n',
    b'      ###xx\xc0\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xd9xxxxxxxxxxxxxxxxxxxxxxxxxxxx\xc0\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xd9xx###      \n',
    b'      ##########################################################      \n',
    b'      #####|____|###---------------$--------------###|____|#####      \n',
    b'      ################--------| M-VAST9 |-------################      \n',
    b'      X##################--------------------##################X      \n',
    b'      XXXXXXXXXX######################################XXXXXXXXXX      \n',
    b'      XXXXXXXXX                                        XXXXXXXXX      \n',
    b'                                                                      \n',
])

MENU = b"".join([
    b'      \xda\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xbf\n',
    b'      \xb3   Velomira Rally Circuit Gold Series - Camera Patch    \xb3\n',
    b'      \xb3\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xb3\n',
    b'      \xb3   Patch by M-VAST9         \xb3  Target: VELORAC.EXE      \xb3\n',
    b'      \xb3\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xb3\n',
    b'      \xb3   [ c ]  =  call the cops to apply patch!              \xb3\n',
    b'      \xb3   [ q ]  =  quit the program                           \xb3\n',
    b'      \xc0\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xc4\xd9\n',
])
