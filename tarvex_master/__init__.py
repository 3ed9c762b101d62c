"""The kernel process of the spreadsheet automation product."""
