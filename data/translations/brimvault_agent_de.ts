<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>BrimvaultMessageDialog</name>
    <message>
        <source>Message</source>
        <translation>Nachricht</translation>
    </message>
</context>
<context>
    <name>agent</name>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>Online</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>Offline</source>
        <translation>Getrennt</translation>
    </message>
    <message>
        <source>You have been inactive for a while. Your session will end in %1 unless you resume.</source>
        <translation>Sie waren eine Weile inaktiv. Ihre Sitzung endet in %1, wenn Sie nicht weiterarbeiten.</translation>
    </message>
    <message>
        <source>Your session will end in %1.</source>
        <translation>Ihre Sitzung endet in %1.</translation>
    </message>
    <message>
        <source>%1 min %2 s</source>
        <translation>%1 Min. %2 s</translation>
    </message>
</context>
<context>
    <name>appl_about</name>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
</context>
</TS>
