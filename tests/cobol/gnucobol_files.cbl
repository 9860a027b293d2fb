       IDENTIFICATION DIVISION.
       PROGRAM-ID. GNUCOBOL-FILES.
      * "write" makes an indexed, a relative and two record-sequential
      * files (fixed and variable length) with packed and binary
      * fields, changed after they were written, and prints only a
      * status it did not expect; "read" reads every record by every
      * key and prints it. Built with GnuCOBOL's own
      * handler and with KVRFH: files one build writes, moved across
      * by kvr load or kvr unload --format gnucobol, read the same in
      * the other. Records carry their own record number and length,
      * which GnuCOBOL does not copy back from an external handler.
      * "position" shows the file position indicator across WRITE and
      * DELETE, and relative record number 0: what COBOL 85 defines,
      * the same with either file handler.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT CUSTOMERS ASSIGN TO "customers.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY CU-NUMBER
               ALTERNATE RECORD KEY CU-CITY WITH DUPLICATES
               ALTERNATE RECORD KEY CU-CODE FILE STATUS FS.
           SELECT ACCOUNTS ASSIGN TO "accounts.rel"
               ORGANIZATION RELATIVE ACCESS DYNAMIC RELATIVE KEY AC-KEY
               FILE STATUS FS.
           SELECT LEDGER ASSIGN TO "ledger.seq"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT NOTES ASSIGN TO "notes.seq"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT IX ASSIGN TO "position.idx"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY IX-KEY ALTERNATE RECORD KEY IX-NAME
               FILE STATUS FS.
           SELECT REL ASSIGN TO "position.rel"
               ORGANIZATION RELATIVE ACCESS DYNAMIC
               RELATIVE KEY RK FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD CUSTOMERS RECORD VARYING 27 TO 41 DEPENDING ON CU-LENGTH.
       01 CU-REC.
          05 CU-NUMBER      PIC X(6).
          05 CU-CITY        PIC X(8).
          05 CU-CODE        PIC X(4).
          05 CU-BALANCE     PIC S9(7)V99 COMP-3.
          05 CU-VISITS      PIC 9(4) COMP-5.
          05 CU-NOTE-LENGTH PIC 99.
          05 CU-NOTE        PIC X(14).
       FD ACCOUNTS.
       01 AC-REC.
          05 AC-NUMBER      PIC 9(4).
          05 AC-NAME        PIC X(10).
          05 AC-AMOUNT      PIC S9(9) COMP-3.
          05 AC-FLAG        PIC X.
       FD LEDGER.
       01 LG-REC.
          05 LG-ID          PIC X(4).
          05 LG-AMOUNT      PIC S9(11) COMP-3.
          05 LG-COUNT       PIC 9(4) COMP-5.
       FD NOTES RECORD VARYING 3 TO 300 DEPENDING ON NT-LENGTH.
       01 NT-REC.
          05 NT-SIZE        PIC 999.
          05 NT-TEXT        PIC X(297).
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-NAME        PIC X(4).
       FD REL.
       01 REL-REC           PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 MODE-ARG          PIC X(8).
       01 CU-LENGTH         PIC 99.
       01 AC-KEY            PIC 9(4).
       01 NT-LENGTH         PIC 999.
       01 MONEY             PIC -(9)9.99.
       01 WHOLE             PIC -(12)9.
       01 COUNTER           PIC Z(4)9.
       01 OK                PIC X(2).
       01 RK                PIC 9(4).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT MODE-ARG FROM COMMAND-LINE
           EVALUATE MODE-ARG
               WHEN "write"
                   PERFORM WRITE-CUSTOMERS PERFORM WRITE-ACCOUNTS
                   PERFORM WRITE-LEDGER PERFORM WRITE-NOTES
               WHEN "position" PERFORM FILE-POSITION
               WHEN OTHER
                   PERFORM READ-CUSTOMERS PERFORM READ-ACCOUNTS
                   PERFORM READ-LEDGER PERFORM READ-NOTES
           END-EVALUATE
           STOP RUN.

       WRITE-CUSTOMERS.
           OPEN OUTPUT CUSTOMERS
      *    The note's length is that of its text up to a space.
           MOVE "300100PARIS   C001" TO CU-REC MOVE 7 TO CU-VISITS
           MOVE 1234.56 TO CU-BALANCE MOVE "FIRST" TO CU-NOTE
           PERFORM PUT-CUSTOMER
           MOVE "100200PARIS   C002" TO CU-REC MOVE 0 TO CU-VISITS
           MOVE -42.10 TO CU-BALANCE PERFORM PUT-CUSTOMER
           MOVE "200300ROME    C003" TO CU-REC MOVE 2570 TO CU-VISITS
           MOVE 0 TO CU-BALANCE MOVE "LF" TO CU-NOTE
           PERFORM PUT-CUSTOMER
           MOVE "150400PARIS   C004" TO CU-REC MOVE 13 TO CU-VISITS
           MOVE 99999.99 TO CU-BALANCE MOVE "ABCDEFGHIJKLMN" TO CU-NOTE
           PERFORM PUT-CUSTOMER
           MOVE "250500BERN    C005" TO CU-REC MOVE 1 TO CU-VISITS
           MOVE -0.01 TO CU-BALANCE MOVE "GONE" TO CU-NOTE
           PERFORM PUT-CUSTOMER
           MOVE "050600OSLO    C006" TO CU-REC MOVE 10 TO CU-VISITS
           MOVE 10 TO CU-BALANCE MOVE "NORTH" TO CU-NOTE
           PERFORM PUT-CUSTOMER
           CLOSE CUSTOMERS
      *    ROME moves to the end of the PARIS duplicates; a REWRITE
      *    that keeps the city keeps the record's place among them.
           OPEN I-O CUSTOMERS
           MOVE "200300" TO CU-NUMBER READ CUSTOMERS
           MOVE "PARIS" TO CU-CITY REWRITE CU-REC
           IF FS NOT = "02" DISPLAY "REWRITE 200300 " FS END-IF
           MOVE "100200" TO CU-NUMBER READ CUSTOMERS
           MOVE "CHANGED" TO CU-NOTE MOVE 7 TO CU-NOTE-LENGTH
           MOVE 34 TO CU-LENGTH REWRITE CU-REC
           IF FS NOT = "00" DISPLAY "REWRITE 100200 " FS END-IF
           MOVE "250500" TO CU-NUMBER DELETE CUSTOMERS
           IF FS NOT = "00" DISPLAY "DELETE 250500 " FS END-IF
           CLOSE CUSTOMERS.

       PUT-CUSTOMER.
           MOVE 0 TO CU-NOTE-LENGTH
           INSPECT CU-NOTE TALLYING CU-NOTE-LENGTH
               FOR CHARACTERS BEFORE " "
           COMPUTE CU-LENGTH = 27 + CU-NOTE-LENGTH
           WRITE CU-REC
           IF FS NOT = "00" AND "02" DISPLAY "WRITE " CU-NUMBER " " FS
           END-IF.

       WRITE-ACCOUNTS.
           OPEN OUTPUT ACCOUNTS
           MOVE 1 TO AC-KEY MOVE "ALFA" TO AC-NAME PERFORM PUT-ACCOUNT
           MOVE 2 TO AC-KEY MOVE "BRAVO" TO AC-NAME PERFORM PUT-ACCOUNT
           MOVE 4 TO AC-KEY MOVE "DELTA" TO AC-NAME PERFORM PUT-ACCOUNT
           MOVE 7 TO AC-KEY MOVE "GOLF" TO AC-NAME PERFORM PUT-ACCOUNT
           MOVE 5 TO AC-KEY MOVE "ECHO" TO AC-NAME PERFORM PUT-ACCOUNT
           CLOSE ACCOUNTS
           OPEN I-O ACCOUNTS
           MOVE 2 TO AC-KEY DELETE ACCOUNTS
           IF FS NOT = "00" DISPLAY "DELETE 2 " FS END-IF
           MOVE 5 TO AC-KEY READ ACCOUNTS
           MOVE -777 TO AC-AMOUNT REWRITE AC-REC
           IF FS NOT = "00" DISPLAY "REWRITE 5 " FS END-IF
           CLOSE ACCOUNTS.

       PUT-ACCOUNT.
           MOVE AC-KEY TO AC-NUMBER
           COMPUTE AC-AMOUNT = AC-KEY * 100000 + 10
           MOVE X"0A" TO AC-FLAG WRITE AC-REC
           IF FS NOT = "00" DISPLAY "WRITE " AC-KEY " " FS END-IF.

       WRITE-LEDGER.
           OPEN OUTPUT LEDGER
           MOVE "L001" TO LG-ID MOVE 12345678901 TO LG-AMOUNT
           MOVE 10 TO LG-COUNT WRITE LG-REC
           MOVE "L002" TO LG-ID MOVE -5 TO LG-AMOUNT
           MOVE 2570 TO LG-COUNT WRITE LG-REC
           MOVE "L003" TO LG-ID MOVE 0 TO LG-AMOUNT
           MOVE 0 TO LG-COUNT WRITE LG-REC
           MOVE "L004" TO LG-ID MOVE -99999999999 TO LG-AMOUNT
           MOVE 9999 TO LG-COUNT WRITE LG-REC
           CLOSE LEDGER.

       WRITE-NOTES.
           OPEN OUTPUT NOTES
           MOVE 3 TO NT-LENGTH PERFORM PUT-NOTE
           MOVE 8 TO NT-LENGTH PERFORM PUT-NOTE
           MOVE 260 TO NT-LENGTH PERFORM PUT-NOTE
           MOVE 41 TO NT-LENGTH PERFORM PUT-NOTE
           CLOSE NOTES.

       PUT-NOTE.
           MOVE NT-LENGTH TO NT-SIZE
           MOVE ALL "NOTE-" TO NT-TEXT
           IF NT-LENGTH > 3 MOVE "!" TO NT-REC(NT-LENGTH:1) END-IF
           WRITE NT-REC.

       READ-CUSTOMERS.
           OPEN INPUT CUSTOMERS DISPLAY "OPEN customers.dat " FS
           DISPLAY "customers by number" MOVE LOW-VALUES TO CU-REC
           START CUSTOMERS KEY >= CU-NUMBER PERFORM LIST-CUSTOMERS
           DISPLAY "customers by city" MOVE LOW-VALUES TO CU-REC
           START CUSTOMERS KEY >= CU-CITY PERFORM LIST-CUSTOMERS
           DISPLAY "customers by code" MOVE LOW-VALUES TO CU-REC
           START CUSTOMERS KEY >= CU-CODE PERFORM LIST-CUSTOMERS
           CLOSE CUSTOMERS.

       LIST-CUSTOMERS.
           PERFORM UNTIL FS NOT = "00" AND FS NOT = "02"
               READ CUSTOMERS NEXT
               IF FS = "00" OR "02" PERFORM SHOW-CUSTOMER END-IF
           END-PERFORM DISPLAY "  end " FS.

       SHOW-CUSTOMER.
           MOVE CU-BALANCE TO MONEY MOVE CU-VISITS TO COUNTER
           DISPLAY "  " CU-NUMBER " " CU-CITY " " CU-CODE " "
               MONEY " " COUNTER " " CU-NOTE(1:CU-NOTE-LENGTH).

       READ-ACCOUNTS.
           OPEN INPUT ACCOUNTS DISPLAY "OPEN accounts.rel " FS
           DISPLAY "accounts in order"
           PERFORM UNTIL FS NOT = "00"
               READ ACCOUNTS NEXT
               IF FS = "00" PERFORM SHOW-ACCOUNT END-IF
           END-PERFORM DISPLAY "  end " FS
           CLOSE ACCOUNTS.

       SHOW-ACCOUNT.
           MOVE AC-AMOUNT TO MONEY
           MOVE "??" TO OK
           IF AC-FLAG = X"0A" MOVE "LF" TO OK END-IF
           DISPLAY "  " AC-NUMBER " " AC-NAME " " MONEY " " OK.

       READ-LEDGER.
           OPEN INPUT LEDGER DISPLAY "OPEN ledger.seq " FS
           PERFORM UNTIL FS NOT = "00"
               READ LEDGER
               IF FS = "00"
                   MOVE LG-AMOUNT TO WHOLE MOVE LG-COUNT TO COUNTER
                   DISPLAY "  " LG-ID " " WHOLE " " COUNTER
               END-IF
           END-PERFORM DISPLAY "  end " FS
           CLOSE LEDGER.

       READ-NOTES.
           OPEN INPUT NOTES DISPLAY "OPEN notes.seq " FS
           PERFORM UNTIL FS NOT = "00"
               MOVE ALL "*" TO NT-REC READ NOTES
               IF FS = "00" DISPLAY "  " NT-REC(1:NT-SIZE) END-IF
           END-PERFORM DISPLAY "  end " FS
           CLOSE NOTES.

       FILE-POSITION.
           OPEN OUTPUT IX
           WRITE IX-REC FROM "0010ANNA" WRITE IX-REC FROM "0020BERT"
           WRITE IX-REC FROM "0030CARL" WRITE IX-REC FROM "0040DORA"
           WRITE IX-REC FROM "0050EMIL"
           CLOSE IX
           OPEN I-O IX
           READ IX NEXT
           READ IX NEXT DISPLAY "READ NEXT, READ NEXT " FS " " IX-REC
           WRITE IX-REC FROM "0045FRED" DISPLAY "WRITE 0045 " FS
           READ IX NEXT
           DISPLAY "READ NEXT after the WRITE " FS " " IX-REC
           WRITE IX-REC FROM "0020GINA" DISPLAY "WRITE 0020 again " FS
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
           CLOSE REL.
