<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>BrimvaultMessageDialog</name>
    <message>
        <source>Message</source>
        <translation>Message</translation>
    </message>
</context>
<context>
    <name>agent</name>
    <message>
        <source>About</source>
        <translation>À propos</translation>
    </message>
    <message>
        <source>Online</source>
        <translation>Connecté</translation>
    </message>
    <message>
        <source>Offline</source>
        <translation>Déconnecté</translation>
    </message>
    <message>
        <source>You have been inactive for a while. Your session will end in %1 unless you resume.</source>
        <translation>Vous êtes inactif depuis un moment. Votre session se terminera dans %1 si vous ne reprenez pas.</translation>
    </message>
    <message>
        <source>Your session will end in %1.</source>
        <translation>Votre session se terminera dans %1.</translation>
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
        <translation>À propos</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Nom</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
</context>
</TS>
