#pragma once

// Sets the process's short date format to "dd.mm.yyyy" and its long one to
// "dddd, dd mmmm yyyy". Every date text of the program (database fields shown
// as text, the MySQL components' values) is made through these settings.
void setProcessDateFormats();
