<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A translation that renames the first Zelvio key, so the program's name reaches edition 3. -->
<TS version="2.1" language="fr_FR">
<context>
    <name>strings</name>
    <message>
        <source>135</source>
        <translation>zelvio</translation>
    </message>
    <message>
        <source>139</source>
        <translation>Zelvio Z3 Pro</translation>
    </message>
</context>
</TS>
