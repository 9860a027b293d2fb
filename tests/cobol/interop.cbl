       IDENTIFICATION DIVISION.
       PROGRAM-ID. INTEROP.
      * Reads an indexed file that a program wrote through the library
      * directly, and writes files for that program to read back.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT LIB-FILE ASSIGN TO "from_library.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY LB-KEY
               ALTERNATE RECORD KEY LB-CITY WITH DUPLICATES
               FILE STATUS FS.
           SELECT COB-FILE ASSIGN TO "from_cobol.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY CB-KEY
               ALTERNATE RECORD KEY CB-CITY WITH DUPLICATES
               FILE STATUS FS.
           SELECT COB-SEQ ASSIGN TO "from_cobol_seq.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD LIB-FILE.
       01 LB-REC.
          05 LB-KEY         PIC X(6).
          05 LB-NAME        PIC X(10).
          05 LB-CITY        PIC X(6).
       FD COB-FILE.
       01 CB-REC.
          05 CB-KEY         PIC X(6).
          05 CB-NAME        PIC X(10).
          05 CB-CITY        PIC X(6).
       FD COB-SEQ RECORD VARYING 1 TO 40 DEPENDING ON SQ-LEN.
       01 SQ-REC            PIC X(40).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 SQ-LEN            PIC 99.
       PROCEDURE DIVISION.
       MAIN.
           OPEN I-O LIB-FILE
           DISPLAY "OPEN I-O from_library.dat " FS
           MOVE LOW-VALUES TO LB-CITY
           START LIB-FILE KEY IS NOT LESS THAN LB-CITY
           DISPLAY "START by city " FS
           PERFORM UNTIL FS NOT = "00" AND FS NOT = "02"
               READ LIB-FILE NEXT
               IF FS = "00" OR FS = "02"
                   DISPLAY "  " LB-REC " " FS
               END-IF
           END-PERFORM
           MOVE "000020" TO LB-KEY
           READ LIB-FILE
           MOVE "CHANGED" TO LB-NAME
           REWRITE LB-REC
           DISPLAY "REWRITE 000020 " FS
           CLOSE LIB-FILE

           OPEN OUTPUT COB-FILE
           MOVE "300300CARL      LIMA  " TO CB-REC WRITE CB-REC
           MOVE "300100ADA       QUITO " TO CB-REC WRITE CB-REC
           MOVE "300200BEA       LIMA  " TO CB-REC WRITE CB-REC
           DISPLAY "WRITE from_cobol.dat " FS
           CLOSE COB-FILE

           OPEN OUTPUT COB-SEQ
           MOVE 5 TO SQ-LEN MOVE "SHORT" TO SQ-REC WRITE SQ-REC
           MOVE 40 TO SQ-LEN
           MOVE "A RECORD OF FORTY BYTES, PADDED ON TO 40" TO SQ-REC
           WRITE SQ-REC
           DISPLAY "WRITE from_cobol_seq.dat " FS
           CLOSE COB-SEQ
           STOP RUN.
