# Qt's strict subset, for every target of ours (the fuzz build included): no
# implicit conversions between byte arrays and strings, no narrowing through
# connect, nothing deprecated.
set(DRAVLIN_STRICT_QT
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_KEYWORDS
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060400)
