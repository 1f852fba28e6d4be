#!/usr/bin/python3
"""Writes workbook job files with independent writers (XlsxWriter, openpyxl, odfpy) so the
program's reader is checked against files it did not make.

Usage: write_workbooks.py OUTDIR [big ROWS]
Writes into OUTDIR: features.xlsx, inline.xlsx, openpyxl.xlsx, features.ods, job.xlsx,
job.ods; with "big ROWS" only big.xlsx, a job of ROWS rows (for the benchmark)."""
import datetime
import os
import sys

import xlsxwriter


def job_row(mark, to, subject, body, attachment="", partner=""):
    # Columns 1 to 11: mark, three unread columns, To, Cc, Cci, subject, body, attachment, partner.
    return [mark, "", "", "", to, "", "", subject, body, attachment, partner]


def features_xlsx(path):
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Jobs")
    bold = wb.add_format({"bold": True})
    red = wb.add_format({"font_color": "red"})
    ws.write_string(0, 0, "texte")
    ws.write_number(0, 1, 42)
    ws.write_number(0, 2, 3.5)
    ws.write_number(0, 3, 1234567.891, wb.add_format({"num_format": "#,##0.00"}))
    ws.write_number(0, 4, 0.125, wb.add_format({"num_format": "0.0%"}))
    ws.write_datetime(0, 5, datetime.datetime(2026, 12, 8, 14, 5, 9),
                      wb.add_format({"num_format": "dd/mm/yyyy hh:mm:ss"}))
    ws.write_datetime(0, 6, datetime.date(2026, 3, 1), wb.add_format({"num_format": 14}))
    ws.write_formula(0, 7, "=B1*2", None, 84)
    ws.write_formula(0, 8, '="a"&"b"', None, "ab")
    ws.write_boolean(0, 9, True)
    ws.write_number(0, 10, -1234.5, wb.add_format({"num_format": '#,##0.00 "€";[Red]-#,##0.00 "€"'}))
    ws.write_number(0, 11, 612345678, wb.add_format({"num_format": "00 00 00 00 00"}))
    ws.write_number(0, 12, 33612345678)
    ws.write_datetime(0, 13, datetime.datetime(2026, 12, 8), wb.add_format({"num_format": "d mmmm yyyy"}))
    ws.write_number(0, 14, 0.1 + 0.2)
    ws.write_formula(0, 15, "=1/0", None, "#DIV/0!")
    # Row 2: rich text, merged cells, a text with a line break.
    ws.write_rich_string(1, 0, "Bonjour ", bold, "le ", red, "monde")
    ws.merge_range(1, 1, 1, 3, "fusion")
    ws.write_string(1, 4, "ligne 1\nligne 2")
    # Row 3 hidden, row 4 empty, row 5 after the gap.
    ws.write_string(2, 0, "cachée")
    ws.set_row(2, None, None, {"hidden": True})
    ws.write_string(4, 2, "après le vide")
    # A styled empty cell far below does not make a row.
    ws.write_blank(20, 0, None, bold)
    other = wb.add_worksheet("Autre")
    other.write_string(0, 0, "second sheet")
    wb.close()


def inline_xlsx(path):
    # The constant-memory mode writes inline strings instead of a shared-string table.
    wb = xlsxwriter.Workbook(path, {"constant_memory": True})
    ws = wb.add_worksheet()
    ws.write_string(0, 0, "en ligne")
    ws.write_string(0, 1, "é€😀")
    ws.write_number(1, 0, 7)
    wb.close()


def openpyxl_xlsx(path):
    import openpyxl
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "openpyxl"
    ws["B1"] = 2.25
    ws["C1"] = datetime.datetime(2026, 1, 2, 3, 4, 5)
    ws["D1"] = datetime.date(2026, 1, 2)
    ws["E1"] = "=B1*2"  # no cached value: shows nothing until a program computes it
    ws["A3"] = "trois"
    ws.row_dimensions[3].hidden = True
    wb.create_sheet("Deux")["A1"] = "not the first"
    wb.save(path)


def features_ods(path):
    from odf.opendocument import OpenDocumentSpreadsheet
    from odf.table import Table, TableRow, TableCell, CoveredTableCell
    from odf.text import P, Span, S, LineBreak
    from odf.office import Annotation

    doc = OpenDocumentSpreadsheet()
    first = Table(name="Jobs")

    def cell(text=None, **kw):
        c = TableCell(**kw)
        if text is not None:
            c.addElement(P(text=text))
        return c

    row = TableRow()
    row.addElement(cell("texte"))
    row.addElement(cell("3,5", valuetype="float", value="3.5"))
    row.addElement(cell(valuetype="float", value="42"))  # no displayed text written
    row.addElement(cell("08/12/2026", valuetype="date", datevalue="2026-12-08"))
    row.addElement(cell("VRAI", valuetype="boolean", booleanvalue="true"))
    rich = TableCell()
    p = P(text="Bonjour ")
    p.addElement(Span(text="le"))
    p.addElement(S(c=2))
    p.addText("monde")
    rich.addElement(p)
    rich.addElement(P(text="second paragraphe"))
    row.addElement(rich)
    noted = TableCell()
    note = Annotation()
    note.addElement(P(text="commentaire"))
    noted.addElement(note)
    noted.addElement(P(text="avec note"))
    row.addElement(noted)
    first.addElement(row)

    row = TableRow()
    row.addElement(cell("fusion", numbercolumnsspanned="2"))
    row.addElement(CoveredTableCell())
    row.addElement(cell(numbercolumnsrepeated="3"))
    row.addElement(cell("x", numbercolumnsrepeated="2"))
    br = TableCell()
    p = P(text="l1")
    p.addElement(LineBreak())
    p.addText("l2")
    br.addElement(p)
    row.addElement(br)
    first.addElement(row)

    empty = TableRow(numberrowsrepeated="2")
    empty.addElement(cell())
    first.addElement(empty)
    row = TableRow(numberrowsrepeated="2")
    row.addElement(cell("répété"))
    first.addElement(row)
    # What spreadsheet programs write to fill the sheet: a huge run of empty rows.
    tail = TableRow(numberrowsrepeated="1048570")
    tail.addElement(cell(numbercolumnsrepeated="1024"))
    first.addElement(tail)
    doc.spreadsheet.addElement(first)

    second = Table(name="Autre")
    row = TableRow()
    row.addElement(cell("second sheet"))
    second.addElement(row)
    doc.spreadsheet.addElement(second)
    doc.save(path)


JOB_ROWS = [
    job_row("1", "a@example.org", "Premier", "Corps 1", "pj.txt"),
    job_row("", "skipped@example.org", "Sauté", "x"),
    job_row("1", "", "Support", "Corps 3"),
    job_row("1", "b@example.org", "Partenaire", "Corps 4", "", "1"),
]


def job_xlsx(path, rows=JOB_ROWS):
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet()
    for r, values in enumerate(rows):
        for c, v in enumerate(values):
            if v != "":
                ws.write_string(r, c, v)
    wb.close()


def job_ods(path, rows=JOB_ROWS):
    from odf.opendocument import OpenDocumentSpreadsheet
    from odf.table import Table, TableRow, TableCell
    from odf.text import P
    doc = OpenDocumentSpreadsheet()
    t = Table(name="Job")
    for values in rows:
        row = TableRow()
        for v in values:
            c = TableCell()
            if v != "":
                c.addElement(P(text=v))
            row.addElement(c)
        t.addElement(row)
    doc.spreadsheet.addElement(t)
    doc.save(path)


def big_xlsx(path, count):
    wb = xlsxwriter.Workbook(path, {"constant_memory": True})
    ws = wb.add_worksheet()
    for r in range(count):
        values = job_row("1", "dest%d@example.org" % r, "Sujet %d" % r,
                         "Corps du message numéro %d, avec un peu de texte." % r)
        for c, v in enumerate(values):
            if v != "":
                ws.write_string(r, c, v)
    wb.close()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    if len(sys.argv) > 3 and sys.argv[2] == "big":
        big_xlsx(os.path.join(out, "big.xlsx"), int(sys.argv[3]))
        return
    features_xlsx(os.path.join(out, "features.xlsx"))
    inline_xlsx(os.path.join(out, "inline.xlsx"))
    openpyxl_xlsx(os.path.join(out, "openpyxl.xlsx"))
    features_ods(os.path.join(out, "features.ods"))
    job_xlsx(os.path.join(out, "job.xlsx"))
    job_ods(os.path.join(out, "job.ods"))


if __name__ == "__main__":
    main()
