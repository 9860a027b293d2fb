       IDENTIFICATION DIVISION.
       PROGRAM-ID. FILE-POSITION.
      * The file position indicator across WRITE and DELETE, and
      * relative record number 0: what COBOL 85 defines, the same
      * with either file handler.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT IX ASSIGN TO "position.idx"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY IX-KEY
               ALTERNATE RECORD KEY IX-NAME
               FILE STATUS FS.
           SELECT REL ASSIGN TO "position.rel"
               ORGANIZATION RELATIVE ACCESS DYNAMIC
               RELATIVE KEY RK
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-NAME        PIC X(4).
       FD REL.
       01 REL-REC           PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 RK                PIC 9(4).
       PROCEDURE DIVISION.
       MAIN.
           OPEN OUTPUT IX
           MOVE "0010ANNA" TO IX-REC WRITE IX-REC
           MOVE "0020BERT" TO IX-REC WRITE IX-REC
           MOVE "0030CARL" TO IX-REC WRITE IX-REC
           MOVE "0040DORA" TO IX-REC WRITE IX-REC
           MOVE "0050EMIL" TO IX-REC WRITE IX-REC
           CLOSE IX
           OPEN I-O IX
           READ IX NEXT
           READ IX NEXT DISPLAY "READ NEXT, READ NEXT " FS " " IX-REC
           MOVE "0045FRED" TO IX-REC WRITE IX-REC
           DISPLAY "WRITE 0045 " FS
           READ IX NEXT
           DISPLAY "READ NEXT after the WRITE " FS " " IX-REC
           MOVE "0020GINA" TO IX-REC WRITE IX-REC
           DISPLAY "WRITE 0020 again " FS
           READ IX NEXT
           DISPLAY "READ NEXT after the refused WRITE " FS " " IX-REC
           MOVE "0040" TO IX-KEY READ IX
           DELETE IX DISPLAY "READ 0040, DELETE " FS
           READ IX PREVIOUS
           DISPLAY "READ PREVIOUS after the DELETE " FS " " IX-REC
           READ IX NEXT DISPLAY "READ NEXT " FS " " IX-REC
           MOVE "BERT" TO IX-NAME
           START IX KEY = IX-NAME
           READ IX NEXT
           DISPLAY "START BERT by name, READ NEXT " FS " " IX-REC
           MOVE "0050" TO IX-KEY
           DELETE IX DISPLAY "DELETE 0050 (prime key in the area) " FS
           READ IX NEXT DISPLAY "READ NEXT by name " FS " " IX-REC
           MOVE "0050" TO IX-KEY READ IX KEY IX-KEY
           DISPLAY "READ 0050 " FS
           MOVE "CARL" TO IX-NAME
           START IX KEY = IX-NAME
           READ IX NEXT
           DISPLAY "START CARL by name, READ NEXT " FS " " IX-REC
           MOVE "0010ZORA" TO IX-REC REWRITE IX-REC
           DISPLAY "REWRITE 0010 as ZORA " FS
           READ IX NEXT DISPLAY "READ NEXT by name " FS " " IX-REC
           READ IX NEXT DISPLAY "READ NEXT by name " FS " " IX-REC
           MOVE "0030" TO IX-KEY READ IX KEY IX-KEY
           READ IX NEXT DISPLAY "READ 0030, READ NEXT " FS " " IX-REC
           DELETE IX DISPLAY "DELETE 0045 " FS
           MOVE "0020BOBO" TO IX-REC REWRITE IX-REC
           DISPLAY "REWRITE 0020 as BOBO " FS
           READ IX PREVIOUS DISPLAY "READ PREVIOUS " FS " " IX-REC
           MOVE "0020" TO IX-KEY READ IX KEY IX-KEY
           DELETE IX
           MOVE "0030" TO IX-KEY
           DELETE IX DISPLAY "READ 0020, DELETE it, DELETE 0030 " FS
           READ IX PREVIOUS DISPLAY "READ PREVIOUS " FS " " IX-REC
           CLOSE IX

           OPEN OUTPUT REL
           MOVE 1 TO RK MOVE "ONE" TO REL-REC WRITE REL-REC
           MOVE 2 TO RK MOVE "TWO" TO REL-REC WRITE REL-REC
           MOVE 0 TO RK MOVE "ZERO" TO REL-REC WRITE REL-REC
           DISPLAY "WRITE relative record 0 " FS
           CLOSE REL
           OPEN I-O REL
           MOVE 0 TO RK READ REL DISPLAY "READ relative record 0 " FS
           MOVE 0 TO RK START REL KEY = RK DISPLAY "START = 0 " FS
           MOVE 0 TO RK START REL KEY NOT LESS THAN RK
           DISPLAY "START >= 0 " FS
           READ REL NEXT DISPLAY "READ NEXT " FS
           DISPLAY "  record " REL-REC
           CLOSE REL
           STOP RUN.
