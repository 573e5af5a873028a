# Code page of the locale ".UTF-8": Unicode, one to four bytes per character.
charset=UTF-8
