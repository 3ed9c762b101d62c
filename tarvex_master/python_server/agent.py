"""The assistant's handle on the workbook.

The kernel builds one ``Agent`` per connection and gives it the workbook's
root objects; the assistant features use it to reach the workbook the same
way user code does.
"""


class Agent:
    def __init__(self, excel, context):
        self.excel = excel
        self.context = context

    def __repr__(self):
        return f"Agent(excel={self.excel!r}, context={self.context!r})"
