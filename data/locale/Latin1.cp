# Code page of the locale ".Latin1": Western European, one byte per character.
charset=ISO-8859-1
