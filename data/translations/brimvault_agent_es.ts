<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>BrimvaultMessageDialog</name>
    <message>
        <source>Message</source>
        <translation>Mensaje</translation>
    </message>
</context>
<context>
    <name>agent</name>
    <message>
        <source>About</source>
        <translation>Acerca de</translation>
    </message>
    <message>
        <source>Online</source>
        <translation>Conectado</translation>
    </message>
    <message>
        <source>Offline</source>
        <translation>Desconectado</translation>
    </message>
    <message>
        <source>You have been inactive for a while. Your session will end in %1 unless you resume.</source>
        <translation>Ha estado inactivo durante un tiempo. Su sesión terminará en %1 si no continúa.</translation>
    </message>
    <message>
        <source>Your session will end in %1.</source>
        <translation>Su sesión terminará en %1.</translation>
    </message>
    <message>
        <source>%1 min %2 s</source>
        <translation>%1 min %2 s</translation>
    </message>
</context>
<context>
    <name>appl_about</name>
    <message>
        <source>About</source>
        <translation>Acerca de</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Nombre</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Versión</translation>
    </message>
</context>
</TS>
