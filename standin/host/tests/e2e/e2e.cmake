# The plug-in end to end through MORLHost.exe: registered here once the
# harness lands.
